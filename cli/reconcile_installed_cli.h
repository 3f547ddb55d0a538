// Installing the command-line tool: the system-wide copy at installedCLIPath is made to match
// the payload the application bundle carries, and cliLinkPath is made a link to it. A new copy
// is staged beside the installed file, given its final owner and mode, verified there, and only
// then renamed into place: a reader of the installed path sees the old file or the new one.
#pragma once

#include <string>

#include "platform/log/logger.h"
#include "service/reply_shapes.h"

namespace tamsel {

// Operation body. Finds and verifies the payload, creates cliInstallDir, installs the payload
// when the installed file is missing or differs, and ensures the link. Serialised with
// removeInstalledCLI.
StatusReply reconcileInstalledCLI(const log::Logger& logger);

// True when the installed file must be (re)written: it is missing, the two sizes differ, or
// either cannot be read whole, or their bytes differ. Sizes are compared first; contents are read
// only when the sizes agree.
bool installedCLINeedsUpdate(const std::string& payloadPath, const std::string& installedPath);

// Copies the payload to stagingCLIPath, gives it 0755 root:root, verifies the copy and renames
// it over installedCLIPath. On every failure the staging file is removed and the installed file
// is as before.
StatusReply installCLIPayload(const std::string& payloadPath);

// Makes cliLinkPath a symbolic link whose text is exactly installedCLIPath, creating its parent
// when missing and replacing whatever else stands there.
StatusReply ensureCLILink();

}  // namespace tamsel
