// Draining pipes into byte strings. Output beyond a few hundred KiB is gathered in 2 MiB
// blocks backed by huge pages where the kernel offers them and joined once at the end: fresh
// small pages and the copies of a doubling string dominate the cost of large outputs.
#pragma once

#include <string>

namespace tamsel::HelperSubprocess {

// Everything readable from fd up to end of stream (or a read error other than EINTR).
std::string readToEnd(int fd);

// Both pipes to their ends, read in turn on the calling thread as data arrives.
void readBothToEnd(int outFd, int errFd, std::string& out, std::string& err);

}  // namespace tamsel::HelperSubprocess
