// The main bundle: the application bundle the running executable lies in. An executable at
// <bundle>/Contents/MacOS/<name> belongs to <bundle>, whose resources lie in
// <bundle>/Contents/Resources.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamsel {

// The resources directory of the bundle that holds executablePath; absent when the path does
// not end in "Contents/MacOS/<name>" below some directory. Only the text is looked at.
std::optional<std::string> resourcesDirectoryOfExecutable(std::string_view executablePath);

// The resources directory of the running executable's bundle, found from the executable's
// own path as the kernel reports it (links resolved). Absent when the executable lies in no
// bundle or its path cannot be read.
std::optional<std::string> mainBundleResourcesDirectory();

}  // namespace tamsel
