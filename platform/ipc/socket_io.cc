#include "platform/ipc/socket_io.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/ipc/linux_socket_constants.h"
#include "platform/ipc/poll_one.h"

namespace tamsel::ipc::sock {
namespace {

// Room for credentials, a pidfd and the most descriptors a frame may carry.
constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(sizeof(int)) +
                                      CMSG_SPACE(sizeof(int) * wire::kMaxFrameFds);

}  // namespace

Result<Received> receive(int fd, std::span<char> buffer, wire::FdQueue* fds, bool wait) {
  alignas(struct cmsghdr) char control[kControlBytes];
  struct iovec iov {
    buffer.data(), buffer.size()
  };
  struct msghdr msg {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);

  ssize_t n;
  do {
    n = ::recvmsg(fd, &msg, (wait ? 0 : MSG_DONTWAIT) | MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);

  Received r;
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return r;
    return Error::fromErrno(errno, "recvmsg");
  }
  r.kind = n == 0 ? Received::Kind::kEndOfStream : Received::Kind::kData;
  r.bytes = static_cast<std::size_t>(n);
  r.controlTruncated = (msg.msg_flags & MSG_CTRUNC) != 0;

  // Take ownership of every descriptor first, so none can leak whatever follows.
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    const std::size_t payload = c->cmsg_len - CMSG_LEN(0);
    if (c->cmsg_type == SCM_RIGHTS) {
      const std::size_t count = payload / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int received;
        std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        UniqueFd owned(received);
        ++r.fdsReceived;
        if (fds != nullptr) fds->push_back(std::move(owned));
      }
    } else if (c->cmsg_type == kScmPidfd && payload >= sizeof(int)) {
      int pidfd;
      std::memcpy(&pidfd, CMSG_DATA(c), sizeof(int));
      // The kernel puts a negative errno here when it could not make one (sender gone).
      if (pidfd >= 0) r.senderPidfd.reset(pidfd);
    } else if (c->cmsg_type == SCM_CREDENTIALS && payload >= sizeof(struct ucred)) {
      struct ucred cred;
      std::memcpy(&cred, CMSG_DATA(c), sizeof(cred));
      r.sender = SenderStamp{cred.pid, cred.uid, cred.gid};
    }
  }
  return r;
}

Status sendAll(int fd, std::string_view data, std::span<const int> fds, int timeoutMs) {
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * wire::kMaxFrameFds)];
  if (fds.size() > wire::kMaxFrameFds) return Error{EINVAL, "too many descriptors"};
  bool fdsSent = fds.empty();
  std::size_t offset = 0;
  while (offset < data.size()) {
    struct iovec iov {
      const_cast<char*>(data.data() + offset), data.size() - offset
    };
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (!fdsSent) {
      const std::size_t len = sizeof(int) * fds.size();
      msg.msg_control = control;
      msg.msg_controllen = CMSG_SPACE(len);
      std::memset(control, 0, sizeof(control));
      struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(len);
      std::memcpy(CMSG_DATA(c), fds.data(), len);
    }
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      offset += static_cast<std::size_t>(n);
      fdsSent = true;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Error::fromErrno(errno, "sendmsg");
    const int ready = pollOne(fd, POLLOUT, timeoutMs);
    if (ready == 0) return Error{ETIMEDOUT, "sendmsg: peer does not read"};
    if (ready < 0) return Error::fromErrno(errno, "poll");
  }
  return {};
}

Result<bool> enablePeerStamps(int fd, bool withPidfd) {
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0) {
    return Error::fromErrno(errno, "setsockopt(SO_PASSCRED)");
  }
  if (!withPidfd) return false;
  if (::setsockopt(fd, SOL_SOCKET, kSoPassPidfd, &on, sizeof(on)) != 0) {
    if (errno == ENOPROTOOPT || errno == EINVAL) return false;
    return Error::fromErrno(errno, "setsockopt(SO_PASSPIDFD)");
  }
  return true;
}

Result<SenderStamp> peerCredentials(int fd) {
  struct ucred cred {};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred)) {
    return Error::fromErrno(errno, "getsockopt(SO_PEERCRED)");
  }
  return SenderStamp{cred.pid, cred.uid, cred.gid};
}

Result<UniqueFd> connectUnix(std::string_view path) {
  struct sockaddr_un addr {};
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    return Error{ENAMETOOLONG, "socket path too long: " + std::string(path)};
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return Error::fromErrno(errno, "socket");
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Error::fromErrno(errno, "cannot connect to " + std::string(path));
  return fd;
}

bool waitReadable(int fd, int timeoutMs) {
  return pollOne(fd, POLLIN, timeoutMs) > 0;
}

void shutdownBoth(int fd) {
  ::shutdown(fd, SHUT_RDWR);
}

int queuedBytes(int fd) {
  int queued = 0;
  return ::ioctl(fd, FIONREAD, &queued) == 0 ? queued : -1;
}

bool kernelStampsPidfds() {
  static const bool supported = [] {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    UniqueFd a(pair[0]), b(pair[1]);
    const int on = 1;
    return ::setsockopt(a.get(), SOL_SOCKET, kSoPassPidfd, &on, sizeof(on)) == 0;
  }();
  return supported;
}

}  // namespace tamsel::ipc::sock
