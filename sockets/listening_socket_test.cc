#include "sockets/listening_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/testing/test_sink.h"

namespace tamsel {
namespace {

long openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, name, &value, &len), 0);
  return value;
}

const log::Logger logger{"app.tamsel.TamselHelper", "helper", std::make_shared<log::TestSink>()};

// A blocking listener of the family asked for (IPv6 alone: the IPv4 port stays free), and a
// second bind of its port refused with errno, leaving no descriptor behind.
TEST(ListeningSocket, ListensOnAFreePortAndASecondBindIsRefused) {
  for (const std::int64_t family : {2, 30}) {
    SocketReply r = openListeningSocket(logger, family, 0);
    ASSERT_TRUE(r.handle.valid()) << r.message.value_or("");
    EXPECT_EQ(r.message, std::nullopt);
    const int fd = r.handle.get();
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_DOMAIN), family == 2 ? AF_INET : AF_INET6);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(family == 30 ? intOption(fd, IPPROTO_IPV6, IPV6_V6ONLY) : 1, 1) << "IPv6 only";
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    sockaddr_in6 address{};  // the port lies at the same offset in both families
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::uint16_t port = ntohs(address.sin6_port);

    const long before = openDescriptors();
    SocketReply again = openListeningSocket(logger, family, port);
    EXPECT_FALSE(again.handle.valid());
    EXPECT_EQ(again.code, EADDRINUSE);
    EXPECT_EQ(again.message, "bind(port=" + std::to_string(port) +
                                 "): " + std::strerror(EADDRINUSE) + " (errno 98)");
    EXPECT_EQ(openDescriptors(), before) << "the failed call left a descriptor open";
  }
}

TEST(ListeningSocket, UnsupportedFamiliesAreRefusedWithoutASocket) {
  const long before = openDescriptors();
  for (std::int64_t family : {1L, 10L, -1L, 0L, INT64_MIN, INT64_MAX}) {
    SocketReply r = openListeningSocket(logger, family, 8080);
    EXPECT_FALSE(r.handle.valid());
    EXPECT_EQ(r.message, "unsupported address family: " + std::to_string(family));
    EXPECT_EQ(r.code, 0);
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace tamsel
