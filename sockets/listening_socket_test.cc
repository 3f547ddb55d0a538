#include "sockets/listening_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "service/test_support.h"

namespace tamsel {
namespace {

struct SocketAnswer {
  int calls = 0;
  UniqueFd fd;
  Message message;
  std::int32_t code = -1;
};

std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

std::uint16_t localPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len), 0);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, name, &value, &len), 0);
  return value;
}

class ListeningSocket : public ::testing::Test {
 protected:
  SocketAnswer open(std::int64_t family, std::uint16_t port) {
    SocketAnswer a;
    openListeningSocket(helper_, family, port,
                        SocketReply([&a](UniqueFd fd, Message message, std::int32_t code) {
                          ++a.calls;
                          a.fd = std::move(fd);
                          a.message = std::move(message);
                          a.code = code;
                        }));
    EXPECT_EQ(a.calls, 1);
    return a;
  }

  std::shared_ptr<TestSink> sink_ = std::make_shared<TestSink>();
  HelperImpl helper_{log::Logger("app.tamsel.TamselHelper", "helper", sink_)};
};

TEST_F(ListeningSocket, PortZeroGivesAListeningIPv4SocketOnAFreePort) {
  SocketAnswer a = open(2, 0);
  ASSERT_TRUE(a.fd.valid()) << a.message.value_or("");
  EXPECT_EQ(a.message, std::nullopt);
  EXPECT_EQ(a.code, 0);
  EXPECT_NE(localPort(a.fd.get()), 0);
  EXPECT_EQ(intOption(a.fd.get(), SOL_SOCKET, SO_DOMAIN), AF_INET);
  EXPECT_EQ(intOption(a.fd.get(), SOL_SOCKET, SO_TYPE), SOCK_STREAM);
  EXPECT_EQ(intOption(a.fd.get(), SOL_SOCKET, SO_ACCEPTCONN), 1);
  EXPECT_EQ(intOption(a.fd.get(), SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(::fcntl(a.fd.get(), F_GETFL) & O_NONBLOCK, 0);
  ASSERT_EQ(sink_->messages().size(), 1u);
  EXPECT_EQ(sink_->messages()[0], "openListeningSocket: family=2, port=0");
}

TEST_F(ListeningSocket, IPv6OnlyAndIPv4ShareAPortAndASecondBindIsRefused) {
  SocketAnswer v4 = open(2, 0);
  ASSERT_TRUE(v4.fd.valid());
  const std::uint16_t port = localPort(v4.fd.get());

  SocketAnswer v6 = open(30, port);
  ASSERT_TRUE(v6.fd.valid()) << v6.message.value_or("");
  EXPECT_EQ(localPort(v6.fd.get()), port);
  EXPECT_EQ(intOption(v6.fd.get(), SOL_SOCKET, SO_DOMAIN), AF_INET6);
  EXPECT_EQ(intOption(v6.fd.get(), IPPROTO_IPV6, IPV6_V6ONLY), 1);
  EXPECT_EQ(intOption(v6.fd.get(), SOL_SOCKET, SO_ACCEPTCONN), 1);

  const std::size_t before = openDescriptors();
  for (std::int64_t family : {2, 30}) {
    SocketAnswer again = open(family, port);
    EXPECT_FALSE(again.fd.valid());
    EXPECT_EQ(again.code, EADDRINUSE);
    const std::string expected = "bind(port=" + std::to_string(port) +
                                 "): " + std::strerror(EADDRINUSE) + " (errno " +
                                 std::to_string(EADDRINUSE) + ")";
    EXPECT_EQ(again.message, expected);
    EXPECT_EQ(openDescriptors(), before) << "the failed call left a descriptor open";
  }
  EXPECT_EQ(sink_->messages()[1], "openListeningSocket: family=30, port=" + std::to_string(port));
}

TEST_F(ListeningSocket, UnsupportedFamiliesAreRefusedWithoutASocket) {
  const std::size_t before = openDescriptors();
  for (std::int64_t family :
       std::vector<std::int64_t>{1, 10, -1, 0, 3, 29, 31, INT64_MIN, INT64_MAX}) {
    SocketAnswer a = open(family, 8080);
    EXPECT_FALSE(a.fd.valid());
    EXPECT_EQ(a.message, "unsupported address family: " + std::to_string(family));
    EXPECT_EQ(a.code, 0);
  }
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(sink_->messages()[2], "openListeningSocket: family=-1, port=8080");
}

TEST_F(ListeningSocket, TheDescriptorAcceptsTcpConnectionsOnLoopback) {
  for (std::int64_t family : {2, 30}) {
    SocketAnswer a = open(family, 0);
    ASSERT_TRUE(a.fd.valid()) << a.message.value_or("");
    const std::uint16_t port = localPort(a.fd.get());

    UniqueFd client(::socket(family == 2 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(client);
    int connected;
    if (family == 2) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(port);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      connected = ::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
    } else {
      sockaddr_in6 to{};
      to.sin6_family = AF_INET6;
      to.sin6_port = htons(port);
      to.sin6_addr = in6addr_loopback;
      connected = ::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
      if (connected != 0 && (errno == EADDRNOTAVAIL || errno == ENETUNREACH)) {
        GTEST_SKIP() << "no IPv6 loopback here";
      }
    }
    ASSERT_EQ(connected, 0) << std::strerror(errno);
    UniqueFd served(::accept4(a.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(served) << std::strerror(errno);
    ASSERT_EQ(::write(client.get(), "hi", 2), 2);
    char buffer[2];
    ASSERT_EQ(::read(served.get(), buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "hi");
  }
}

TEST(ErrnoMessage, NumberInTheMessageIsErrnoAtTheCall) {
  for (int err : {EADDRINUSE, EACCES, EAFNOSUPPORT, EINVAL, 9999}) {
    errno = err;
    std::string message = errnoMessage("listen()");
    EXPECT_EQ(message, std::string("listen(): ") + std::strerror(err) + " (errno " +
                           std::to_string(err) + ")");
    EXPECT_EQ(errno, err);
  }
}

}  // namespace
}  // namespace tamsel
