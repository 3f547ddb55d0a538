// Connections of the real daemon are served side by side: two clients at once, two users at
// once, and a ping while another connection's body is blocked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sandbox/tests/support/child_roles.h"
#include "sandbox/tests/support/raw_connection.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 10'000;

long long millisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ConcurrencySystemTest, TwoConnectionsAreServedAtTheSameTime) {
  std::optional<RawConnection> a = openAdmitted(kTimeoutMs);
  std::optional<RawConnection> b = openAdmitted(kTimeoutMs);
  ASSERT_TRUE(a && b);
  std::uint64_t idA = 0;
  ASSERT_TRUE(a->send("pingWithReply:", {}, &idA));
  const Outcome version = b->call("helperVersionWithReply:", {}, kTimeoutMs);
  EXPECT_EQ(stringAt(version, 0), std::optional<std::string>(TAMSEL_EXPECTED_VERSION))
      << version.describe();
  const Outcome pong = a->next(kTimeoutMs);
  EXPECT_TRUE(firstValueIsYes(pong)) << pong.describe();
  EXPECT_EQ(pong.id, idA);
}

TEST(ConcurrencySystemTest, TwoUsersPingingTogetherAreBothServed) {
  // Both children connect, report ready and wait for the go, so their connections overlap.
  int ready[2];
  int go[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  UniqueFd readyRead(ready[0]), readyWrite(ready[1]), goRead(go[0]), goWrite(go[1]);
  auto client = [&] {
    goWrite.reset();
    readyRead.reset();
    std::optional<RawConnection> conn = openAdmitted(kTimeoutMs);
    if (!conn) return 10;
    if (::write(readyWrite.get(), "r", 1) != 1) return 11;
    char c;
    if (::read(goRead.get(), &c, 1) != 0) return 12;  // the parent closes go: EOF is the signal
    for (int i = 0; i < 500; ++i) {
      if (!firstValueIsYes(conn->call("pingWithReply:", {}, kTimeoutMs))) return 13;
    }
    return 0;
  };
  Child alice(kAlice, client);
  Child bob(kBob, client);
  readyWrite.reset();
  goRead.reset();
  for (int readyCount = 0; readyCount < 2;) {
    char got;
    ASSERT_EQ(::read(readyRead.get(), &got, 1), 1) << "a child failed before it was ready";
    ++readyCount;
  }
  goWrite.reset();
  EXPECT_EQ(alice.wait(), 0);
  EXPECT_EQ(bob.wait(), 0);
}

TEST(ConcurrencySystemTest, PingIsAnsweredWhileAnotherConnectionsBodyIsBlocked) {
  const std::string data = std::string(kAlice.home) + "/blocked-data";
  std::filesystem::create_directories(data);
  for (const auto& e : std::filesystem::directory_iterator(std::string(kToolFdsDir))) {
    std::filesystem::remove(e.path());
  }
  std::ofstream{std::string(kHoldToolsFile)} << "hold\n";

  Child blocked(kAlice, [&data] {
    std::optional<RawConnection> conn = openAdmitted(kTimeoutMs);
    if (!conn) return 1;
    const Outcome reply = conn->call("chownTamselDataDirWithPath:toUid:reply:",
                                     arguments(text(data), std::int64_t{501}), 90'000);
    if (reply.kind == Outcome::Kind::kError) return 3;
    return firstValueIsYes(reply) ? 0 : 1;
  });
  // Blocked once the tool has started (the shim writes its record, then holds).
  const auto start = Clock::now();
  bool toolStarted = false;
  while (!toolStarted && millisSince(start) < kTimeoutMs && !blocked.poll()) {
    toolStarted = !std::filesystem::is_empty(std::string(kToolFdsDir));
    if (!toolStarted) usleep(10'000);
  }
  if (!toolStarted) {
    std::filesystem::remove(std::string(kHoldToolsFile));
    const int rc = blocked.wait();
    if (rc == 3) GTEST_SKIP() << "the daemon does not dispatch chownTamselDataDir yet";
    FAIL() << "the chown body never started its tool (child status " << rc << ")";
  }

  const auto pingStart = Clock::now();
  std::optional<RawConnection> other = openAdmitted(kTimeoutMs);
  ASSERT_TRUE(other);
  EXPECT_TRUE(firstValueIsYes(other->call("pingWithReply:", {}, kTimeoutMs)));
  const long long pingMs = millisSince(pingStart);
  EXPECT_FALSE(blocked.poll().has_value()) << "the blocked body finished early";

  std::filesystem::remove(std::string(kHoldToolsFile));
  EXPECT_EQ(blocked.wait(), 0);
  EXPECT_LT(pingMs, 2'000) << "ping waited on the blocked body";
}

}  // namespace
}  // namespace tamsel::systemtest
