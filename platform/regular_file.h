// Reading a file whose path someone else controls, as root: only a regular file is ever opened
// for reading, nothing blocks, and the read is bounded.
#pragma once

#include <cstddef>
#include <string>

#include "platform/result.h"

namespace tamsel {

// The whole contents of the regular file at path (a final symbolic link is followed), at most
// maxBytes of them. Anything else at path (a FIFO, a device, a socket, a directory) is refused
// without being opened for reading, so opening it has no side effect and cannot block. Errors:
// the errno of a failed call; EISDIR for a directory; EINVAL for anything else that is not a
// regular file; EFBIG for a file larger than maxBytes. The description starts with path.
// PinnedHome::readRegularFile reads the same way, beneath a pinned home.
Result<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace tamsel
