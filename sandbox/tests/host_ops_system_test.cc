// What needs the real daemon as root, asked by the test users through the client library: port 80
// for a user, and real chown on real trees and links, run by a tool that inherits nothing of the
// daemon. Refusals of bad families and paths are the bodies' unit tests; a user's resolver file,
// root's and trusted by the hosts source, is the hosts-source system test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "client/helper_client.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;
using client::HelperClient;

// Runs body as user on a fresh connection; its report, or why there was none.
std::string asUser(const TestUser& user, const std::function<std::string(HelperClient&)>& body) {
  return reportAsUser(user, [&] {
    Result<HelperClient> helper = HelperClient::connect();
    return helper ? body(*helper) : "not admitted: " + helper.error().description;
  });
}

// "YES", "NO <code> <message>", or why no reply came.
std::string text(const Result<StatusReply>& r) {
  if (!r) return "error: " + r.error().description;
  return r->ok ? "YES" : "NO " + std::to_string(r->code) + " " + r->message.value_or("null");
}

// "<uid>:<gid>" of the entry itself, or "absent".
std::string owner(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "absent";
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

// The descriptors each tool run held, as the tool shim recorded them ("<fd> <target>" lines):
// "0 1 2\n" per run.
std::string toolRuns() {
  std::string runs;
  for (const auto& e : fs::directory_iterator(std::string(kToolFdsDir))) {
    std::ifstream in(e.path());
    for (std::string line; std::getline(in, line);) runs += line.substr(0, line.find(' ')) + " ";
    if (!runs.empty()) runs.back() = '\n';
  }
  return runs;
}

TEST(ListeningSocketSystemTest, AUserGetsIPv4AndIPv6SocketsOnPort80) {
  const std::string report = asUser(kAlice, [](HelperClient& h) {
    UniqueFd own(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 at{};
    at.sin6_family = AF_INET;  // a sockaddr_in's family and port lie where a sockaddr_in6's do
    at.sin6_port = htons(80);
    std::string out = ::bind(own.get(), reinterpret_cast<sockaddr*>(&at), sizeof(sockaddr_in))
                          ? std::string("own bind: ") + std::strerror(errno)
                          : "own bind worked";
    Result<SocketReply> v4 = h.openListeningSocket(2, 80);
    Result<SocketReply> v6 = h.openListeningSocket(30, 80);  // while the IPv4 one is held
    for (auto* r : {&v4, &v6}) {
      if (!*r || !(*r)->handle) return out + " refused";
      socklen_t len = sizeof at;
      ::getsockname((*r)->handle.get(), reinterpret_cast<sockaddr*>(&at), &len);
      out += " " + std::to_string(at.sin6_family) + ":" + std::to_string(ntohs(at.sin6_port));
    }
    return out;
  });
  EXPECT_EQ(report, std::string("own bind: ") + std::strerror(EACCES) + " 2:80 10:80");
}

class ChownSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(data_);
    fs::create_directories(data_ + "/inner/deeper");
    std::ofstream(data_ + "/inner/deeper/file") << "x";
    fs::create_directories(bob_ + "/chown-data");
    ASSERT_EQ(::lchown((bob_ + "/chown-data").c_str(), kBob.uid, kBob.gid), 0);
    for (const auto& e : fs::directory_iterator(std::string(kToolFdsDir))) fs::remove(e.path());
  }
  void TearDown() override {
    fs::remove_all(data_);
    for (const char* entry : {"/link-etc", "/link-bob", "/race-etc", "/race-etc.alt", "/race-bob",
                              "/race-bob.alt", "/race-done"}) {
      fs::remove_all(alice_ + entry);
    }
    // Should a race have been won, later tests start clean.
    [[maybe_unused]] const int restored = ::lchown("/etc/passwd", 0, 0);
  }

  void expectTreeOwnedBy(const std::string& who) {
    for (const char* p : {"", "/inner", "/inner/deeper", "/inner/deeper/file"}) {
      EXPECT_EQ(owner(data_ + p), who) << p;
    }
  }
  void expectOthersUntouched() {
    for (const std::string p : {"/", "/etc", "/etc/passwd"}) EXPECT_EQ(owner(p), "0:0") << p;
    EXPECT_EQ(owner(bob_), "502:20");
    EXPECT_EQ(owner(bob_ + "/chown-data"), "502:20");
  }
  std::string chown(const std::string& path, std::int64_t uid) {
    return asUser(kAlice, [&](HelperClient& h) { return text(h.chownTamselDataDir(path, uid)); });
  }

  const std::string alice_{kAlice.home}, bob_{kBob.home}, data_ = alice_ + "/chown-data";
};

// Links out of the home carry no chown out of it; the whole home may be handed over, and chown -R
// then changes the links, not what they point to. A tool that holds only 0, 1, 2 does it.
TEST_F(ChownSystemTest, ATreeGoesToTheUserAndBackAndLinksCarryNothingOutOfTheHome) {
  fs::create_symlink("/etc", alice_ + "/link-etc");
  fs::create_symlink(bob_, alice_ + "/link-bob");
  for (const char* rel : {"/link-etc/passwd", "/link-bob/chown-data"}) {
    EXPECT_EQ(chown(alice_ + rel, 501),
              "NO 0 chownTamselDataDir: path must live under the connecting user's home")
        << rel;
  }
  EXPECT_EQ(toolRuns(), "");
  EXPECT_EQ(chown(alice_ + "/", 501), "YES");
  EXPECT_EQ(owner(alice_ + "/link-etc"), "501:20");
  expectTreeOwnedBy("501:20");
  EXPECT_EQ(toolRuns(), "0 1 2\n");
  EXPECT_EQ(chown(data_, 0), "YES");
  expectTreeOwnedBy("0:0");
  expectOthersUntouched();
}

// alice swaps entries of her home between a directory and a link to /etc or to bob's home, 2,000
// times, while asking for paths through them: whatever the timing, no owner outside her home
// changes, and the daemon stays up. Plain run only: the confinement adds nothing to the race.
TEST_F(ChownSystemTest, SwappingLinksUnderTheCheckChangesNoOwnerOutsideTheHome) {
  if (hardenedRun()) GTEST_SKIP() << "runs in the plain run only";
  const std::optional<pid_t> daemon = daemonPid();
  fs::create_directories(alice_ + "/race-etc");
  fs::create_directories(alice_ + "/race-bob/chown-data");
  std::ofstream(alice_ + "/race-etc/passwd") << "x";
  fs::create_symlink("/etc", alice_ + "/race-etc.alt");
  fs::create_symlink(bob_, alice_ + "/race-bob.alt");
  const std::string done = alice_ + "/race-done";
  Child flipper(kAlice, [&] {
    for (int i = 0; i < 2000; ++i, ::usleep(250)) {
      for (const std::string& p : {alice_ + "/race-etc", alice_ + "/race-bob"}) {
        if (::renameat2(AT_FDCWD, p.c_str(), AT_FDCWD, (p + ".alt").c_str(), RENAME_EXCHANGE)) {
          return 1;
        }
      }
    }
    return std::ofstream(done) ? 0 : 2;
  });
  asUser(kAlice, [&](HelperClient& h) {
    for (int i = 0; i < 10'000 && ::access(done.c_str(), F_OK) != 0; ++i) {
      (void)h.chownTamselDataDir(alice_ + (i % 2 ? "/race-etc/passwd" : "/race-bob/chown-data"),
                                 501);
    }
    return "";
  });
  EXPECT_EQ(flipper.wait(), 0);
  expectOthersUntouched();
  EXPECT_GT(toolRuns().size(), 5 * 6u) << "chown hardly ran while the links flipped";
  EXPECT_EQ(daemonPid(), daemon);
}

}  // namespace
}  // namespace tamsel::systemtest
