// The client library the desktop application links, against the real daemon: an admitted
// program connects and calls in both forms; a program the daemon refuses learns so at connect
// time; a descriptor reply arrives and the daemon keeps no copy of it.
#ifdef TAMSEL_HAVE_CLIENT

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <future>
#include <string>
#include <tuple>

#include "client/helper_client.h"
#include "sandbox/tests/support/child_roles.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

using client::HelperClient;

// Child role: connects with the client library and pings. 0: served; 13: refused with EACCES;
// 1: anything else (printed).
const bool kClientRole = registerChildRole("client-ping", [](int, char**) {
  Result<HelperClient> helper = HelperClient::connect(kServiceSocketPath, 5'000);
  if (!helper) {
    std::printf("connect: %d %s\n", helper.error().code, helper.error().description.c_str());
    return helper.error().code == EACCES ? 13 : 1;
  }
  Result<client::PingReply> pong = helper->ping();
  return pong && pong->alive ? 0 : 1;
});

ProgramResult clientPingFrom(std::string_view program, const std::optional<TestUser>& as) {
  return runProgram({std::string(program), "--child", "client-ping"}, as);
}

TEST(ClientLibrarySystemTest, AnAdmittedUserCallsInBothForms) {
  const int rc = runAsUser(kAlice, [] {
    Result<HelperClient> helper = HelperClient::connect();
    if (!helper) return 10;
    Result<client::VersionReply> version = helper->helperVersion();
    if (!version || version->version != TAMSEL_EXPECTED_VERSION) return 11;
    std::promise<bool> answered;
    helper->ping([&answered](Result<client::PingReply> pong) {
      answered.set_value(pong.ok() && pong->alive);
    });
    std::future<bool> alive = answered.get_future();
    if (alive.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 12;
    return alive.get() ? 0 : 13;
  });
  EXPECT_EQ(rc, 0);
}

TEST(ClientLibrarySystemTest, ARefusedProgramLearnsItAtConnect) {
  for (const auto& [program, as, expected] :
       {std::tuple{kSignedSelf, std::optional<TestUser>(kBob), 0},
        std::tuple{kUnsignedSelf, std::optional<TestUser>(kBob), 13},
        std::tuple{kUnsignedSelf, std::optional<TestUser>(), 13}}) {
    const ProgramResult r = clientPingFrom(program, as);
    EXPECT_EQ(r.status, expected) << program << ": " << r.describe();
  }
}

TEST(ClientLibrarySystemTest, TheDaemonKeepsNoCopyOfADescriptorItHandsOut) {
  const std::optional<pid_t> daemon = daemonPid();
  ASSERT_TRUE(daemon);
  Result<HelperClient> helper = HelperClient::connect();
  ASSERT_TRUE(helper.ok()) << helper.error().description;
  ASSERT_TRUE(helper->ping().ok());  // the connection is fully set up before counting
  const int before = openDescriptorCount(*daemon);

  // Port 443 inside the sandbox's own network namespace.
  Result<client::SocketReply> reply = helper->openListeningSocket(2, 443);
  ASSERT_TRUE(reply.ok()) << reply.error().description;
  ASSERT_TRUE(reply->handle.valid()) << reply->message.value_or("");
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(reply->handle.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  EXPECT_EQ(ntohs(addr.sin_port), 443);
  int listening = 0;
  len = sizeof listening;
  ASSERT_EQ(::getsockopt(reply->handle.get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &len), 0);
  EXPECT_EQ(listening, 1);

  EXPECT_EQ(waitForDescriptorCount(*daemon, before, 2'000), before)
      << "the daemon still holds the socket it handed out";
}

}  // namespace
}  // namespace tamsel::systemtest

#endif  // TAMSEL_HAVE_CLIENT
