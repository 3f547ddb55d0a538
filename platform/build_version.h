// The product version, set once by the build (the project version in CMakeLists.txt). The
// daemon's Info.plist, the package and every --version carry this same value.
#pragma once

#include <string_view>

namespace tamsel {

std::string_view productVersion();

}  // namespace tamsel
