#include "platform/ipc/listen_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace tamsel::ipc {
namespace {

constexpr int kFirstActivatedFd = 3;

bool parseNumber(const char* text, long& out) {
  if (text == nullptr || *text == '\0') return false;
  const char* end = text + std::strlen(text);
  auto [p, ec] = std::from_chars(text, end, out);
  return ec == std::errc() && p == end;
}

int intOption(int fd, int option) {
  int value = -1;
  socklen_t len = sizeof(value);
  if (::getsockopt(fd, SOL_SOCKET, option, &value, &len) != 0) return -1;
  return value;
}

}  // namespace

UniqueFd takeActivatedSocket() {
  long pid = 0, count = 0;
  if (!parseNumber(std::getenv("LISTEN_PID"), pid) || pid != static_cast<long>(::getpid())) {
    return {};
  }
  if (!parseNumber(std::getenv("LISTEN_FDS"), count) || count < 1) return {};
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  const int fd = kFirstActivatedFd;
  if (intOption(fd, SO_DOMAIN) != AF_UNIX || intOption(fd, SO_TYPE) != SOCK_STREAM ||
      intOption(fd, SO_ACCEPTCONN) != 1) {
    return {};
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  return UniqueFd(fd);
}

Result<UniqueFd> bindListeningSocket(const std::string& path) {
  struct sockaddr_un addr {};
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    return Error{ENAMETOOLONG, "socket path too long: " + path};
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return Error::fromErrno(errno, "socket");

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return Error{EEXIST, "not a socket, left alone: " + path};
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return Error::fromErrno(errno, "unlink " + path);
    }
  }
  if (::bind(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
    return Error::fromErrno(errno, "bind " + path);
  }
  if (::chmod(path.c_str(), 0666) != 0) return Error::fromErrno(errno, "chmod " + path);
  if (::listen(fd.get(), SOMAXCONN) != 0) return Error::fromErrno(errno, "listen");
  return fd;
}

}  // namespace tamsel::ipc
