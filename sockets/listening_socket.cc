#include "sockets/listening_socket.h"

#include "platform/sockets.h"

namespace tamsel {
namespace {

std::string callText(ListenFailure::Step step, std::uint16_t port) {
  switch (step) {
    case ListenFailure::Step::kSocket:
      return "socket()";
    case ListenFailure::Step::kReuseAddress:
      return "setsockopt(SO_REUSEADDR)";
    case ListenFailure::Step::kBind:
      return "bind(port=" + std::to_string(port) + ")";
    case ListenFailure::Step::kListen:
      return "listen()";
  }
  return "socket()";
}

}  // namespace

std::string errnoMessage(std::string_view call, int err) {
  std::string message(call);
  message += ": ";
  message += errnoText(err);
  message += " (errno ";
  message += std::to_string(err);
  message += ")";
  return message;
}

SocketReply openListeningSocket(const log::Logger& logger, std::int64_t family,
                                std::uint16_t port) {
  logger.info("openListeningSocket: family=%ld, port=%hu", family, port);
  if (family != kClientFamilyIPv4 && family != kClientFamilyIPv6) {
    return {UniqueFd(), "unsupported address family: " + std::to_string(family), 0};
  }
  auto opened =
      openTcpListener(family == kClientFamilyIPv6 ? IpFamily::kIPv6 : IpFamily::kIPv4, port, 128);
  if (auto* fd = std::get_if<UniqueFd>(&opened)) return {std::move(*fd), std::nullopt, 0};
  const ListenFailure failure = std::get<ListenFailure>(opened);
  return {UniqueFd(), errnoMessage(callText(failure.step, port), failure.err), failure.err};
}

}  // namespace tamsel
