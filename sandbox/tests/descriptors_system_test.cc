// Descriptors of the real daemon: served, failed and refused requests, sockets handed out among
// them, leave nothing open behind them. (What tools inherit: host_ops.)
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "client/helper_client.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

using client::HelperClient;

// Waits (up to 5 s) until the daemon holds exactly `count` descriptors; returns the last count
// seen. Closing a connection on the daemon's side happens shortly after the client's.
int waitForDescriptorCount(pid_t pid, int count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int seen = openDescriptorCount(pid);
  while (seen != count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    seen = openDescriptorCount(pid);
  }
  return seen;
}

// One request down every path of the bodies that hands out or refuses something; "FNNNNN" when
// each went as it should.
std::string everyPath(HelperClient& h) {
  Result<SocketReply> held = h.openListeningSocket(2, 0);
  sockaddr_in at{};
  socklen_t len = sizeof at;
  if (!held || !held->handle ||
      ::getsockname(held->handle.get(), reinterpret_cast<sockaddr*>(&at), &len) != 0) {
    return "no socket";
  }
  Result<SocketReply> taken = h.openListeningSocket(2, ntohs(at.sin_port));
  std::string out = taken && !taken->handle && taken->code == EADDRINUSE ? "FN" : "F?";
  Result<SocketReply> family = h.openListeningSocket(1, 80);
  out += family && !family->handle ? "N" : "?";
  for (const Result<StatusReply>& r :
       {h.installResolver("Bad", "x", 1), h.chownTamselDataDir("/etc", 501),
        h.chownTamselDataDir("/root/fd-data", 12345)}) {
    out += r && !r->ok ? "N" : "?";
  }
  return out;
}

TEST(DescriptorSystemTest, ServedFailedAndRefusedRequestsLeaveTheDaemonHoldingWhatItHeld) {
  const std::optional<pid_t> daemon = daemonPid();
  ASSERT_TRUE(daemon.has_value());
  std::filesystem::create_directories("/root/fd-data");
  const std::string unsignedClient = std::string(kClientCopy) + "unsigned";
  // Warm up what the daemon opens once (the log store, its threads) on every path.
  {
    Result<HelperClient> h = HelperClient::connect();
    ASSERT_TRUE(h) << h.error().description;
    ASSERT_EQ(everyPath(*h), "FNNNNN");
  }
  const int warm = openDescriptorCount(*daemon);
  EXPECT_EQ(runProgram({unsignedClient, "pingWithReply:"}).status, kRefused);
  // Once the refused peer is released; a descriptor its path opens for good is counted too.
  const int before = waitForDescriptorCount(*daemon, warm);
  {
    // The count does see connections.
    std::vector<HelperClient> open;
    for (int i = 0; i < 50; ++i) {
      Result<HelperClient> h = HelperClient::connect();
      ASSERT_TRUE(h) << h.error().description;
      open.push_back(std::move(*h));
    }
    EXPECT_GE(openDescriptorCount(*daemon), before + 50);
  }
  for (int c = 0; c < 20; ++c) {
    Result<HelperClient> h = HelperClient::connect();
    ASSERT_TRUE(h) << "connection " << c << ": " << h.error().description;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(everyPath(*h), "FNNNNN");
    EXPECT_EQ(runProgram({unsignedClient, "pingWithReply:"}).status, kRefused);
  }
  EXPECT_EQ(waitForDescriptorCount(*daemon, before), before);
  std::filesystem::remove_all("/root/fd-data");
}

}  // namespace
}  // namespace tamsel::systemtest
