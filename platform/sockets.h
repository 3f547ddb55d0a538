// Listening TCP sockets on the wildcard address, for handing to a client.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/result.h"  // errnoText
#include "platform/unique_fd.h"

namespace tamsel {

enum class IpFamily { kIPv4, kIPv6 };

// The step of openTcpListener that failed, and the errno it left.
struct ListenFailure {
  enum class Step { kSocket, kReuseAddress, kBind, kListen };
  Step step;
  int err;
};

// A blocking, close-on-exec TCP socket of family with SO_REUSEADDR, bound to the wildcard
// address and port (an IPv6 socket serves IPv6 only) and listening with backlog. On failure
// the descriptor is already closed.
std::variant<UniqueFd, ListenFailure> openTcpListener(IpFamily family, std::uint16_t port,
                                                      int backlog);

}  // namespace tamsel
