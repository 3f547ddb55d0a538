// The export's name of each platform log level.
#pragma once

#include <string_view>

namespace tamsel {

// 1 "debug", 2 "info", 3 "notice", 4 "error", 5 "fault"; 0 (undefined) and any other value
// "info".
std::string_view logLevelName(int level);

}  // namespace tamsel
