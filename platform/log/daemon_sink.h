// The daemon's sink: every entry goes to the log store and is echoed to standard error.
#pragma once

#include <memory>
#include <string_view>

#include "platform/log/logger.h"

namespace tamsel::log {

// Opens (creating when needed) the store at storePath. When it cannot be opened the daemon
// keeps running: the sink then only echoes, and says so once on the echo stream.
// echoFd is standard error except in tests.
std::shared_ptr<Sink> openDaemonSink(std::string_view storePath, int echoFd = 2);

}  // namespace tamsel::log
