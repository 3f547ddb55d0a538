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

#include "platform/codesign/signature_trailer.h"
#include "platform/identity.h"
#include "platform/testing/raw_peer.h"
#include "sandbox/tests/support/child_roles.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;
using ipc::testing::RawPeer;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 10'000;
const std::string kSocket(kServiceSocketPath);
constexpr const char* kPing = "pingWithReply:";
constexpr int kRefused = 2;  // tamsel-helperctl's status for a refused connection
// What the daemon lets one user hold, and how long a begun frame may stay unfinished.
constexpr int kConnectionsPerUser = 256;
constexpr int kPartialFrameSeconds = 5;

long long millisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A root-owned copy of a program, where root alone may change it.
std::string rootCopy(std::string_view from, const std::string& to) {
  fs::copy_file(std::string(from), to, fs::copy_options::overwrite_existing);
  ::chmod(to.c_str(), 0755);
  return to;
}

int pingAs(const TestUser& user, std::string_view client = kSignedHelperctl) {
  return runProgram({std::string(client), kPing}, user).status;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;) {
    long value = 0;
    if (key == "VmRSS:" && status >> value) return value;
  }
  return -1;
}

TEST(AdmissionBudgetSystemTest, AFourGiBExecutableWithACopiedSignatureIsRefusedWithoutHashing) {
  // The signed client's bytes, a hole, and its signature again at the very end: it runs, and a
  // check that trusted the signature's trailer would hash four GiB (some ten seconds here).
  const std::string signedBytes = readFile(std::string(kSignedHelperctl));
  ASSERT_GT(signedBytes.size(), codesign::kTrailerSize);
  const auto* info = reinterpret_cast<const unsigned char*>(signedBytes.data()) +
                     signedBytes.size() - codesign::kTrailerSize;
  const std::size_t cmsLength = (std::size_t{info[4]} << 24) | (std::size_t{info[5]} << 16) |
                                (std::size_t{info[6]} << 8) | info[7];
  const std::string signature =
      signedBytes.substr(signedBytes.size() - codesign::kTrailerSize - cmsLength);
  const std::string path = "/tmp/four-gib-client";
  {
    UniqueFd file(::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0755));
    const off_t size = off_t{4} << 30;
    ASSERT_TRUE(file);
    ASSERT_EQ(::pwrite(file.get(), signedBytes.data(), signedBytes.size(), 0),
              static_cast<ssize_t>(signedBytes.size()));
    ASSERT_EQ(::pwrite(file.get(), signature.data(), signature.size(),
                       size - static_cast<off_t>(signature.size())),
              static_cast<ssize_t>(signature.size()));
  }
  const auto start = Clock::now();
  EXPECT_EQ(pingAs(kAlice, path), kRefused);
  EXPECT_LT(millisSince(start), 1'000);
  fs::remove(path);
}

// Child role: says "ready", then for every line on standard input opens one connection and
// prints "served" or "refused".
const bool kConnectPerLineRole = registerChildRole("connect-per-line", [](int, char**) {
  std::printf("ready\n");
  std::fflush(stdout);
  for (int c; (c = std::getchar()) != EOF;) {
    if (c != '\n') continue;
    std::printf("%s\n", RawPeer(kSocket).waitHello(kTimeoutMs) ? "served" : "refused");
    std::fflush(stdout);
  }
  return 0;
});

// The code-signing root, moved aside while it lives: no cold check can pass meanwhile, so only a
// verdict still cached can admit anyone.
class AnchorAside {
 public:
  AnchorAside() { fs::rename(kAnchor, kAside); }
  ~AnchorAside() { fs::rename(kAside, kAnchor); }

 private:
  static constexpr const char* kAnchor = "/etc/codesign/anchor.pem";
  static constexpr const char* kAside = "/etc/codesign/anchor.pem.aside";
};

// Plain run only: the verdict cache is the same whether the daemon is confined or not.
TEST(AdmissionBudgetSystemTest, OneUsersFiveThousandExecutablesLeaveAnotherUsersVerdictWarm) {
  if (hardenedRun()) GTEST_SKIP() << "runs in the plain run only";
  ASSERT_EQ(pingAs(kBob), 0);  // bob's verdict on the signed client is cached now
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
  {
    AnchorAside aside;
    // Cold, nothing can pass now; warm, bob still is.
    EXPECT_EQ(pingAs(kBob, fresh), kRefused);
    EXPECT_EQ(pingAs(kBob), 0);
  }
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
  for (int i = 0; i < std::atoi(argv[0]); ++i) {
    if (RawPeer peer(kSocket); peer.connected()) held.push_back(std::move(peer));
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (int c; (c = std::getchar()) != EOF;) {
  }
  return 0;
});

TEST(AdmissionBudgetSystemTest, AUsersFloodsStayWithinHerBudgetsAndAnotherUserIsServedInASecond) {
  const std::optional<pid_t> daemon = daemonPid();
  ASSERT_TRUE(daemon);
  ASSERT_EQ(pingAs(kBob), 0);
  const int descriptorsBefore = openDescriptorCount(*daemon);
  const long residentBefore = residentKiB(*daemon);

  // Admitted connections, as many as alice gets, each with a frame begun and never finished.
  int report[2];
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  UniqueFd reportIn(report[0]), reportOut(report[1]);
  Child flood(kAlice, [&] {
    raiseDescriptorLimit();
    std::vector<RawPeer> held;
    for (int i = 0; i < 2 * kConnectionsPerUser; ++i) {
      RawPeer peer(kSocket);
      if (!peer.waitHello(2'000)) continue;
      const std::string header("\x00\x00\x01\x00", 4);  // a 65,536-byte body announced
      const std::string part = header + std::string(60'000, '\x02');
      if (::write(peer.fd(), part.data(), part.size()) <= 0) return 3;
      held.push_back(std::move(peer));
    }
    const int count = static_cast<int>(held.size());
    if (::write(reportOut.get(), &count, sizeof count) != sizeof count) return 4;
    // Every one of them is dropped once its frame is overdue.
    for (RawPeer& c : held) {
      if (!c.endsWithin((kPartialFrameSeconds + 5) * 1'000)) return 5;
    }
    return 0;
  });
  reportOut.reset();
  int admitted = 0;
  ASSERT_EQ(::read(reportIn.get(), &admitted, sizeof admitted), sizeof admitted);
  EXPECT_EQ(admitted, kConnectionsPerUser);
  // And unsigned ones by the thousand, never admitted.
  const std::string unsignedCopy = rootCopy(kUnsignedSelf, "/tmp/flood-client");
  Conversation strangers(kAlice, unsignedCopy, {"hold-connections", "2000"});
  ASSERT_EQ(strangers.readLine(), "ready");

  const auto start = Clock::now();
  EXPECT_EQ(pingAs(kBob), 0);
  EXPECT_LT(millisSince(start), 1'000);
  // What alice holds of the daemon: two descriptors and one unfinished frame per connection.
  EXPECT_LE(openDescriptorCount(*daemon), descriptorsBefore + 2 * kConnectionsPerUser + 64);
  EXPECT_LE(residentKiB(*daemon), residentBefore + 32 * 1024);
  EXPECT_EQ(flood.wait(), 0);
  EXPECT_EQ(strangers.finish(), 0);
  fs::remove(unsignedCopy);
}

}  // namespace
}  // namespace tamsel::systemtest
