// The one lock of the installed tool: reconcileInstalledCLI and removeInstalledCLI each hold it
// for their whole body, so neither ever sees the other's (or a second reconcile's) half-done
// work on the shared staging, installed and link paths. docs/CLI_INSTALL.md says why.
#pragma once

#include <mutex>

namespace tamsel {

std::mutex& installedCLILock();

}  // namespace tamsel
