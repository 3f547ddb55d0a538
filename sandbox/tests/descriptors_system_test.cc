// Descriptors of the real daemon: served, failed and refused requests leave nothing open behind
// them, a socket handed out is the client's alone, and the tools it starts inherit nothing but
// standard input, output and error.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>

#include "client/helper_client.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;
using client::HelperClient;

// Samples the count until it holds still for a while (a closed connection is released by the
// daemon shortly after the client's close).
int settledDescriptorCount(pid_t pid) {
  int last = openDescriptorCount(pid);
  for (int stable = 0, rounds = 0; stable < 20 && rounds < 500; ++rounds) {
    ::usleep(10'000);
    const int now = openDescriptorCount(pid);
    stable = now == last ? stable + 1 : 0;
    last = now;
  }
  return last;
}

// One request down every path of the bodies that hands out or refuses something; the replies'
// first letters, "FNNNNN" when each went as it should.
std::string everyPath(HelperClient& h) {
  std::string out;
  Result<SocketReply> held = h.openListeningSocket(2, 0);
  if (!held || !held->handle) return "no socket";
  out += "F";
  sockaddr_in at{};
  socklen_t len = sizeof at;
  if (::getsockname(held->handle.get(), reinterpret_cast<sockaddr*>(&at), &len) != 0) return out;
  Result<SocketReply> taken = h.openListeningSocket(2, ntohs(at.sin_port));
  out += taken && !taken->handle && taken->code == EADDRINUSE ? "N" : "?";
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
  fs::create_directories("/root/fd-data");
  // Warm up what the daemon opens once (the log store, its threads) on every path.
  {
    Result<HelperClient> h = HelperClient::connect();
    ASSERT_TRUE(h) << h.error().description;
    ASSERT_EQ(everyPath(*h), "FNNNNN");
  }
  EXPECT_EQ(runProgram({kUnsignedClient.path(), "pingWithReply:"}).status, 2);
  const int before = settledDescriptorCount(*daemon);
  ASSERT_GT(before, 0);

  // The count does see connections: fifty open ones raise it by at least fifty.
  {
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
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(h->ping());
  }
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(runProgram({kUnsignedClient.path(), "pingWithReply:"}).status, 2);
  }
  EXPECT_EQ(waitForDescriptorCount(*daemon, before, 5'000), before);
  fs::remove_all("/root/fd-data");
}

TEST(DescriptorSystemTest, TheDaemonKeepsNoCopyOfASocketItHandsOut) {
  const std::optional<pid_t> daemon = daemonPid();
  ASSERT_TRUE(daemon);
  Result<HelperClient> helper = HelperClient::connect();
  ASSERT_TRUE(helper) << helper.error().description;
  ASSERT_TRUE(helper->ping());  // the connection is fully set up before counting
  const int before = openDescriptorCount(*daemon);
  Result<SocketReply> reply = helper->openListeningSocket(2, 443);
  ASSERT_TRUE(reply) << reply.error().description;
  ASSERT_TRUE(reply->handle.valid()) << reply->message.value_or("");
  EXPECT_EQ(waitForDescriptorCount(*daemon, before, 2'000), before)
      << "the daemon still holds the socket it handed out";
}

TEST(DescriptorSystemTest, ToolsTheDaemonStartsSeeOnlyDescriptorsZeroOneAndTwo) {
  const std::string data = std::string(kAlice.home) + "/tool-fds-data";
  fs::create_directories(data + "/inner");
  std::ofstream(data + "/inner/file") << "x";
  for (const auto& entry : fs::directory_iterator(std::string(kToolFdsDir))) fs::remove(entry);

  const std::string reply = reportAsUser(kAlice, [&data] {
    Result<HelperClient> h = HelperClient::connect();
    if (!h) return h.error().description;
    Result<StatusReply> r = h->chownTamselDataDir(data, 501);
    return !r ? r.error().description : r->ok ? "YES" : r->message.value_or("NO");
  });
  ASSERT_EQ(reply, "YES");
  struct stat st {};
  ASSERT_EQ(::stat((data + "/inner/file").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 501u) << "the tool the daemon ran was not the real chown";

  // The tool shim records the descriptors each run holds, one per line.
  std::vector<std::set<int>> runs;
  for (const auto& entry : fs::directory_iterator(std::string(kToolFdsDir))) {
    std::ifstream in(entry.path());
    std::set<int> fds;
    for (std::string line; std::getline(in, line);) fds.insert(std::stoi(line));
    runs.push_back(fds);
  }
  ASSERT_EQ(runs.size(), 1u) << "expected exactly one tool run";
  EXPECT_EQ(runs[0], (std::set<int>{0, 1, 2}));
  fs::remove_all(data);
}

}  // namespace
}  // namespace tamsel::systemtest
