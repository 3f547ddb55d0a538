// The service's listening socket: the one the service manager passed, or a fresh one bound at
// the service's fixed path.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_fd.h"

namespace tamsel::ipc {

// A listening AF_UNIX stream socket passed by the service manager (LISTEN_PID is us, LISTEN_FDS
// at least 1, descriptor 3), made close-on-exec and non-blocking; the variables are removed so
// that no child takes them for its own. Nothing when none was passed or descriptor 3 is not
// such a socket.
UniqueFd takeActivatedSocket();

// Binds and listens at path, replacing a stale socket there (but nothing else), mode 0666:
// who may talk is decided by code signature, not by file mode.
Result<UniqueFd> bindListeningSocket(const std::string& path);

}  // namespace tamsel::ipc
