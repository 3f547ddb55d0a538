#include "cli/remove_installed_cli.h"

#include <array>
#include <mutex>

#include "cli/cli_paths.h"
#include "cli/installed_cli_lock.h"
#include "platform/files.h"

namespace tamsel {

StatusReply removeInstalledCLI(const log::Logger& logger) {
  std::lock_guard lock(installedCLILock());
  logger.info("removeInstalledCLI");

  for (std::string_view p : std::array{cliLinkPath, installedCLIPath, stagingCLIPath}) {
    const std::string path(p);
    // A dangling link counts as present: it is found by the link test.
    const bool present = entryExists(path) || lookUpLink(path).kind == LinkLookup::Kind::kLink;
    if (!present) continue;
    if (Status s = removeItem(path); !s) {
      return StatusReply::failure("Failed to remove " + path + ": " + s.error().description,
                                  s.error().code);
    }
  }
  // Only empty directories go; a foreign file keeps its directory, an absent one is no error.
  const std::string installDir(cliInstallDir);
  (void)removeEmptyDirectory(installDir);
  (void)removeEmptyDirectory(installDir.substr(0, installDir.rfind('/')));
  return StatusReply::success();
}

}  // namespace tamsel
