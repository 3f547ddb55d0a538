#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>

#include <cerrno>
#include <cstring>

#include "platform/sockets.h"

namespace tamsel {

std::variant<UniqueFd, ListenFailure> openTcpListener(IpFamily family, std::uint16_t port,
                                                      int backlog) {
  using Step = ListenFailure::Step;
  const bool v6 = family == IpFamily::kIPv6;
  UniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return ListenFailure{Step::kSocket, errno};

  const int one = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    return ListenFailure{Step::kReuseAddress, errno};
  }
  int bound;
  if (v6) {
    // IPv6 only, so that an IPv4 socket on the same port can live beside it.
    (void)::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    addr.sin6_addr = in6addr_any;
    bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } else {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  }
  if (bound != 0) return ListenFailure{Step::kBind, errno};
  if (::listen(fd.get(), backlog) != 0) return ListenFailure{Step::kListen, errno};
  return fd;
}

std::optional<SocketAddress> localSocketAddress(int fd) {
  struct sockaddr_storage ss {};
  socklen_t len = sizeof(ss);
  if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return std::nullopt;
  char buf[INET6_ADDRSTRLEN] = {};
  switch (ss.ss_family) {
    case AF_INET: {
      const auto* in = reinterpret_cast<const struct sockaddr_in*>(&ss);
      ::inet_ntop(AF_INET, &in->sin_addr, buf, sizeof(buf));
      return SocketAddress{"inet", buf, ntohs(in->sin_port)};
    }
    case AF_INET6: {
      const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(&ss);
      ::inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof(buf));
      return SocketAddress{"inet6", buf, ntohs(in6->sin6_port)};
    }
    case AF_UNIX: {
      const auto* un = reinterpret_cast<const struct sockaddr_un*>(&ss);
      const std::size_t n = len > offsetof(struct sockaddr_un, sun_path)
                                ? len - offsetof(struct sockaddr_un, sun_path)
                                : 0;
      std::string path(un->sun_path, n);
      while (!path.empty() && path.back() == '\0') path.pop_back();
      return SocketAddress{"unix", path, -1};
    }
    default:
      return SocketAddress{"other", "", -1};
  }
}

}  // namespace tamsel
