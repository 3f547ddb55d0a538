// The one bounded reader of regular files, shared by the Linux backend's public readers.
#pragma once

#include <cstddef>
#include <string>

#include "platform/result.h"

namespace tamsel::linux_backend {

// The contents of the entry that located names (an O_PATH descriptor: found, never opened), at
// most maxBytes of them. Only a regular file is opened for reading, through located itself and
// without blocking, so a FIFO, a device or a socket is never opened and a lease fails the open
// instead of holding it. Errors name path: EISDIR for a directory, EINVAL for anything else that
// is not a regular file, EFBIG for a file larger than maxBytes, else the errno of the failed call.
Result<std::string> readLocatedRegularFile(int located, const std::string& path,
                                           std::size_t maxBytes);

}  // namespace tamsel::linux_backend
