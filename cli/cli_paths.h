// The fixed places of the command-line tool `tamsel`: where its payload may come from, where it
// is installed, staged and linked.
#pragma once

#include <string_view>

namespace tamsel {

// The only application bundle a payload is accepted from.
inline constexpr std::string_view appBundlePath = "/Applications/Tamsel.app";
// The payload, relative to the main bundle's resources directory.
inline constexpr std::string_view payloadRelativePath = "bin/tamsel";

inline constexpr std::string_view cliInstallDir = "/Library/Application Support/Tamsel/bin";
inline constexpr std::string_view installedCLIPath =
    "/Library/Application Support/Tamsel/bin/tamsel";
// Beside the installed file, so that the rename that installs it never crosses file systems.
inline constexpr std::string_view stagingCLIPath =
    "/Library/Application Support/Tamsel/bin/.tamsel.incoming";
// The command users run; a symbolic link whose text is installedCLIPath.
inline constexpr std::string_view cliLinkPath = "/usr/local/bin/tamsel";

}  // namespace tamsel
