#include "sockets/listening_socket.h"

#include <arpa/inet.h>
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

std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

std::uint16_t localPort(int fd) {
  sockaddr_in6 ss{};  // large enough for both families; the port sits at the same offset
  socklen_t len = sizeof ss;
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len), 0);
  return ntohs(ss.sin6_port);
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, name, &value, &len), 0);
  return value;
}

struct ListeningSocket : ::testing::TestWithParam<std::int64_t> {
  std::shared_ptr<log::TestSink> sink = std::make_shared<log::TestSink>();
  log::Logger logger{"app.tamsel.TamselHelper", "helper", sink};
};

TEST_P(ListeningSocket, ListensOnAFreePortAndASecondBindIsRefused) {
  const std::int64_t family = GetParam();
  SocketReply r = openListeningSocket(logger, family, 0);
  ASSERT_TRUE(r.handle.valid()) << r.message.value_or("");
  EXPECT_EQ(r.message, std::nullopt);
  EXPECT_EQ(r.code, 0);
  const int fd = r.handle.get();
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_DOMAIN), family == 2 ? AF_INET : AF_INET6);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
  if (family == 30) {
    EXPECT_EQ(intOption(fd, IPPROTO_IPV6, IPV6_V6ONLY), 1);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  const std::uint16_t port = localPort(fd);
  EXPECT_EQ(sink->messages()[0],
            "openListeningSocket: family=" + std::to_string(family) + ", port=0");

  const std::size_t before = openDescriptors();
  SocketReply again = openListeningSocket(logger, family, port);
  EXPECT_FALSE(again.handle.valid());
  EXPECT_EQ(again.code, EADDRINUSE);
  EXPECT_EQ(again.message, "bind(port=" + std::to_string(port) + "): " + std::strerror(EADDRINUSE) +
                               " (errno " + std::to_string(EADDRINUSE) + ")");
  EXPECT_EQ(openDescriptors(), before) << "the failed call left a descriptor open";
}

INSTANTIATE_TEST_SUITE_P(Families, ListeningSocket, ::testing::Values(2, 30));

TEST(ListeningSocketFamilies, UnsupportedFamiliesAreRefusedWithoutASocket) {
  log::Logger logger{"app.tamsel.TamselHelper", "helper", std::make_shared<log::TestSink>()};
  const std::size_t before = openDescriptors();
  for (std::int64_t family : std::vector<std::int64_t>{1, 10, -1, 0, INT64_MIN, INT64_MAX}) {
    SocketReply r = openListeningSocket(logger, family, 8080);
    EXPECT_FALSE(r.handle.valid());
    EXPECT_EQ(r.message, "unsupported address family: " + std::to_string(family));
    EXPECT_EQ(r.code, 0);
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace tamsel
