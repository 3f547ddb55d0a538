// Privileged listening sockets: a TCP socket bound on any interface, handed to the client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/log/logger.h"
#include "service/reply_shapes.h"

namespace tamsel {

// The address-family numbers clients send, whatever the local system calls them.
inline constexpr std::int64_t kClientFamilyIPv4 = 2;
inline constexpr std::int64_t kClientFamilyIPv6 = 30;

// call + ": " + the system's text for err + " (errno " + err + ")".
std::string errnoMessage(std::string_view call, int err);

// Operation body: a listening descriptor (the helper keeps no copy once it is sent), or no
// descriptor, a message and the errno of the failed call. Every failure closes what it opened.
SocketReply openListeningSocket(const log::Logger& logger, std::int64_t family, std::uint16_t port);

}  // namespace tamsel
