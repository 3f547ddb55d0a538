// Privileged listening sockets: a TCP socket bound on any interface, handed to the client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/helper_impl.h"
#include "service/reply.h"

namespace tamsel {

// The address-family numbers clients send, whatever the local system calls them.
inline constexpr std::int64_t kClientFamilyIPv4 = 2;
inline constexpr std::int64_t kClientFamilyIPv6 = 30;

// call + ": " + the system's text for errno + " (errno " + errno + ")", from errno as it is.
std::string errnoMessage(std::string_view call);

// Operation body: replies with a listening descriptor (the helper keeps no copy), or with no
// descriptor, a message and errno. Every failure path closes what it opened.
void openListeningSocket(const HelperImpl& helper, std::int64_t family, std::uint16_t port,
                         SocketReply reply);

}  // namespace tamsel
