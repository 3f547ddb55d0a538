#include "cli/installed_cli_lock.h"

namespace tamsel {

std::mutex& installedCLILock() {
  static std::mutex lock;
  return lock;
}

}  // namespace tamsel
