#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

}  // namespace tamsel
