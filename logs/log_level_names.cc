#include "logs/log_level_names.h"

namespace tamsel {

std::string_view logLevelName(int level) {
  switch (level) {
    case 1:
      return "debug";
    case 3:
      return "notice";
    case 4:
      return "error";
    case 5:
      return "fault";
    default:
      return "info";
  }
}

}  // namespace tamsel
