// Finding the payload: the copy of `tamsel` inside the application bundle the helper runs from.
// There is one candidate and no fallback: a helper started from anywhere but appBundlePath has
// no payload.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamsel {

// True when candidate, standardised, lies strictly inside appBundle (standardised): below it,
// not the bundle itself and not a sibling whose name merely begins with its name.
bool isInsideAppBundle(std::string_view candidate, std::string_view appBundle);

// resourcesDirectory joined with payloadRelativePath, when that lies inside appBundle and
// something other than a directory stands there (links followed). The joined path is returned,
// not its standardised form.
std::optional<std::string> locateCLIPayload(const std::optional<std::string>& resourcesDirectory,
                                            std::string_view appBundle);

}  // namespace tamsel
