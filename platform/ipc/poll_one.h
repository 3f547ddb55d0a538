// Waiting on one descriptor, interrupted waits resumed.
#pragma once

#include <poll.h>

#include <cerrno>

namespace tamsel::ipc {

// Waits up to timeoutMs (0: not at all, negative: no limit) for events on fd. Returns the events
// that came (never 0 then), 0 on timeout, or -1 with errno set.
inline int pollOne(int fd, short events, int timeoutMs) {
  struct pollfd p {
    fd, events, 0
  };
  int n;
  do {
    n = ::poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return n;
  return p.revents != 0 ? p.revents : POLLNVAL;
}

}  // namespace tamsel::ipc
