// Socket options newer than the C library's headers (Linux 6.5). Included by .cc files only.
#pragma once

#include <sys/socket.h>

namespace tamsel::ipc {

#ifdef SO_PASSPIDFD
inline constexpr int kSoPassPidfd = SO_PASSPIDFD;
#else
inline constexpr int kSoPassPidfd = 76;
#endif
#ifdef SO_PEERPIDFD
inline constexpr int kSoPeerPidfd = SO_PEERPIDFD;
#else
inline constexpr int kSoPeerPidfd = 77;
#endif
#ifdef SCM_PIDFD
inline constexpr int kScmPidfd = SCM_PIDFD;
#else
inline constexpr int kScmPidfd = 0x04;
#endif

}  // namespace tamsel::ipc
