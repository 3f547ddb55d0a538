// Draining pipes into byte strings. Output beyond a few hundred KiB is gathered in 2 MiB
// blocks backed by huge pages where the kernel offers them and joined once at the end: fresh
// small pages and the copies of a doubling string dominate the cost of large outputs.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace tamsel {

// Everything readable from fd up to end of stream (or a read error other than EINTR). Throws
// std::bad_alloc when the bytes do not fit in memory.
std::string readToEnd(const UniqueFd& fd);

// Both pipes to their ends, read in turn on the calling thread as data arrives.
void readBothToEnd(const UniqueFd& outFd, const UniqueFd& errFd, std::string& out,
                   std::string& err);

}  // namespace tamsel
