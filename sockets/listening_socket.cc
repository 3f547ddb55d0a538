#include "sockets/listening_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace tamsel {

std::string errnoMessage(std::string_view call) {
  const int err = errno;
  char buffer[256];
  // GNU strerror_r: returns the text, in buffer or a static string.
  const char* text = ::strerror_r(err, buffer, sizeof buffer);
  std::string message(call);
  message += ": ";
  message += text;
  message += " (errno ";
  message += std::to_string(err);
  message += ")";
  return message;
}

void openListeningSocket(const HelperImpl& helper, std::int64_t family, std::uint16_t port,
                         SocketReply reply) {
  helper.logger().info("openListeningSocket: family=%ld, port=%hu", family, port);
  if (family != kClientFamilyIPv4 && family != kClientFamilyIPv6) {
    reply(UniqueFd(), "unsupported address family: " + std::to_string(family), 0);
    return;
  }
  const bool v6 = family == kClientFamilyIPv6;

  // Reads errno first, forms the message, then closes: the code is the number in the message.
  auto fail = [&reply](std::string_view call, UniqueFd& fd) {
    const int err = errno;
    std::string message = errnoMessage(call);
    fd.reset();
    reply(UniqueFd(), std::move(message), err);
  };

  UniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail("socket()", fd);

  const int one = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    return fail("setsockopt(SO_REUSEADDR)", fd);
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
  if (bound != 0) return fail("bind(port=" + std::to_string(port) + ")", fd);

  if (::listen(fd.get(), 128) != 0) return fail("listen()", fd);

  reply(std::move(fd), std::nullopt, 0);
}

}  // namespace tamsel
