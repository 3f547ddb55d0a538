// Removing the command-line tool: the link, the installed file, a leftover staging file, then
// the install directory and its parent when they are empty.
#pragma once

#include "platform/log/logger.h"
#include "service/reply_shapes.h"

namespace tamsel {

// Operation body. Absent paths are no error, so it can be repeated. The first removal that fails
// ends the call and leaves the later paths and both directories in place. Serialised with
// reconcileInstalledCLI.
StatusReply removeInstalledCLI(const log::Logger& logger);

}  // namespace tamsel
