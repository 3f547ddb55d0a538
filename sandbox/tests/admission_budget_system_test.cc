// What one test user can cost the real daemon, and what she cannot take from another user: an
// executable too large to hash is refused at once, her churn of executables leaves another user's
// warm verdict warm, and her floods of connections (admitted ones holding half-written frames,
// unsigned ones never admitted) stay within her budgets while another user is served within a
// second.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/identity.h"
#include "platform/process_protection.h"
#include "platform/testing/raw_peer.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;
using ipc::testing::RawPeer;
using Clock = std::chrono::steady_clock;

const std::string kSocket(kServiceSocketPath);
// What the daemon lets one user hold, and how long a begun frame may stay unfinished.
constexpr int kConnectionsPerUser = 256;
constexpr int kPartialFrameSeconds = 5;

// The status of a ping by client as user, and whether it came within a second.
std::pair<int, bool> pingAs(const TestUser& user, std::string_view client = kSignedHelperctl) {
  const auto start = Clock::now();
  const int status = runProgram({std::string(client), "pingWithReply:"}, user).status;
  return {status, Clock::now() - start < std::chrono::seconds(1)};
}

// A root-owned copy of a program, where root alone may change it.
std::string rootCopy(std::string_view from, const std::string& to) {
  fs::copy_file(std::string(from), to, fs::copy_options::overwrite_existing);
  return to;
}

TEST(AdmissionBudgetSystemTest, AFourGiBExecutableWithACopiedSignatureIsRefusedWithoutHashing) {
  // The signed client's bytes, a hole, and its bytes again at the very end, signature last: it
  // runs, and a check that trusted the signature's trailer would hash four GiB (some ten seconds
  // here).
  const std::string bytes = ScratchDir::read(std::string(kSignedHelperctl));
  const std::string path = rootCopy(kSignedHelperctl, "/tmp/four-gib-client");
  fs::resize_file(path, (std::uintmax_t{4} << 30) - bytes.size());
  ASSERT_TRUE(std::ofstream(path, std::ios::binary | std::ios::app) << bytes);
  EXPECT_EQ(pingAs(kAlice, path), std::pair(kRefused, true));
  fs::remove(path);
}

// Child role: says "ready", then for every line on standard input opens one connection and
// prints "served" or "refused".
const bool kConnectPerLineRole = registerChildRole("connect-per-line", [](int, char**) {
  std::printf("ready\n");
  std::fflush(stdout);
  for (int c; (c = std::getchar()) != EOF;) {
    if (c != '\n') continue;
    std::printf("%s\n", RawPeer(kSocket).waitHello(10'000) ? "served" : "refused");
    std::fflush(stdout);
  }
  return 0;
});

// Plain run only: the verdict cache is the same whether the daemon is confined or not.
TEST(AdmissionBudgetSystemTest, OneUsersFiveThousandExecutablesLeaveAnotherUsersVerdictWarm) {
  if (hardenedRun()) GTEST_SKIP() << "runs in the plain run only";
  ASSERT_EQ(pingAs(kBob).first, 0);  // bob's verdict on the signed client is cached now
  // alice runs one program whose file root changes 5,000 times: 5,000 executables to the daemon,
  // each checked and remembered.
  const std::string churn = rootCopy(kUnsignedSelf, "/tmp/churn-client");
  Conversation alice(kAlice, churn, {"connect-per-line"});
  ASSERT_EQ(alice.readLine(), "ready");
  for (int i = 1; i <= 5'000; ++i) {
    const struct timespec times[2] = {{i, 0}, {i, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, churn.c_str(), times, 0), 0);
    ASSERT_EQ(alice.ask(""), "refused") << i;
  }
  EXPECT_EQ(alice.finish(), 0);
  const std::string fresh = rootCopy(kSignedHelperctl, "/tmp/fresh-helperctl");
  // With the code-signing root moved aside, a cold check cannot pass: only bob's cached verdict
  // still admits him.
  fs::rename("/etc/codesign/anchor.pem", "/etc/codesign/anchor.pem.aside");
  EXPECT_EQ(pingAs(kBob, fresh).first, kRefused);
  EXPECT_EQ(pingAs(kBob).first, 0);
  fs::rename("/etc/codesign/anchor.pem.aside", "/etc/codesign/anchor.pem");
  fs::remove(churn);
  fs::remove(fresh);
}

void raiseDescriptorLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

// Child role: holds N connections it opened (never admitted if this copy is unsigned), prints
// "ready", and keeps them until its standard input closes.
const bool kHoldRole = registerChildRole("hold-connections", [](int argc, char** argv) {
  if (argc != 1) return 2;
  raiseDescriptorLimit();
  std::vector<RawPeer> held;
  for (int i = 0; i < std::atoi(argv[0]); ++i) held.emplace_back(kSocket);
  std::printf("ready\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
});

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;) {
    if (long value = 0; key == "VmRSS:" && status >> value) return value;
  }
  return -1;
}

TEST(AdmissionBudgetSystemTest, AUsersFloodsStayWithinHerBudgetsAndAnotherUserIsServedInASecond) {
  const std::optional<pid_t> daemon = daemonPid();
  ASSERT_TRUE(daemon);
  ASSERT_EQ(pingAs(kBob).first, 0);
  const int descriptorsBefore = openDescriptorCount(*daemon);
  const long residentBefore = residentKiB(*daemon);

  // Admitted connections, as many as alice gets, each with a frame begun and never finished.
  Conversation flood(kAlice, std::string(kSignedSelf), {"half-written-frames"});
  EXPECT_EQ(flood.readLine(), std::to_string(kConnectionsPerUser));
  // And unsigned ones by the thousand, never admitted.
  const std::string unsignedCopy = rootCopy(kUnsignedSelf, "/tmp/flood-client");
  Conversation strangers(kAlice, unsignedCopy, {"hold-connections", "2000"});
  ASSERT_EQ(strangers.readLine(), "ready");

  EXPECT_EQ(pingAs(kBob), std::pair(0, true));
  // What alice holds of the daemon: two descriptors and one unfinished frame (at most 64 KiB)
  // per connection, plus what threads and allocator arenas touch the first time a flood comes.
  EXPECT_LE(openDescriptorCount(*daemon), descriptorsBefore + 2 * kConnectionsPerUser + 64);
  EXPECT_LE(residentKiB(*daemon), residentBefore + kConnectionsPerUser * 64 + 24 * 1024);
  // Every one of hers is dropped once its frame is overdue.
  EXPECT_EQ(flood.readLine(), "all dropped");
  EXPECT_EQ(flood.finish(), 0);
  EXPECT_EQ(strangers.finish(), 0);
  fs::remove(unsignedCopy);
}

// Child role: opens twice as many connections as a user may hold, begins a frame on each that is
// admitted and never finishes it, prints how many were admitted, then "all dropped" once the
// daemon has closed every one of them.
const bool kHalfWrittenRole = registerChildRole("half-written-frames", [](int, char**) {
  if (!shutOutSameUserProcesses()) return 2;
  raiseDescriptorLimit();
  std::vector<RawPeer> held;
  const std::string part = std::string("\x00\x00\x01\x00", 4) + std::string(60'000, '\x02');
  for (int i = 0; i < 2 * kConnectionsPerUser; ++i) {
    RawPeer peer(kSocket);  // a 65,536-byte body announced, 60,000 bytes of it sent
    if (peer.waitHello(2'000) && ::write(peer.fd(), part.data(), part.size()) > 0) {
      held.push_back(std::move(peer));
    }
  }
  std::printf("%zu\n", held.size());
  std::fflush(stdout);
  for (RawPeer& c : held) {
    if (!c.endsWithin((kPartialFrameSeconds + 5) * 1'000)) return 1;
  }
  std::printf("all dropped\n");
  return 0;
});

}  // namespace
}  // namespace tamsel::systemtest
