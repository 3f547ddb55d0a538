// Makes writes to regular files fail with EFBIG while it lives: RLIMIT_FSIZE lowered to a few
// bytes, SIGXFSZ ignored (for good). Pipes and sockets are not affected.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace tamsel::testing {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved_;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit saved_ {};
};

}  // namespace tamsel::testing
