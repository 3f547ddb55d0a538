// What needs the real daemon as root, asked by the test users through the client library: a
// resolver file written by root, port 80 for a user, and real chown on real trees and links.
// Refusals of bad labels, families and paths are the bodies' unit tests.
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

const std::string kResolverDir = "/etc/resolver";
const std::string kPathRefusal =
    "NO 0 chownTamselDataDir: path must live under the connecting user's home";

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

std::string owner(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "absent";
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

std::size_t toolRuns() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(std::string(kToolFdsDir))) ++n;
  return n;
}

TEST(ResolverSystemTest, AUsersResolverFileIsRootsAndGoesAgain) {
  fs::remove_all(kResolverDir + "/test");
  EXPECT_EQ(
      asUser(kAlice, [](HelperClient& h) { return text(h.installResolver("test", "::1", 53)); }),
      "YES");
  const std::string file = kResolverDir + "/test";
  EXPECT_EQ(readFile(file),
            "# Tamsel \xE2\x80\x94 auto-generated resolver for .test domains\n"
            "nameserver ::1\nport 53");
  struct stat st {};
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_EQ(owner(file), "0:0");
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(asUser(kBob, [](HelperClient& h) { return text(h.removeResolver("test")); }), "YES");
  EXPECT_EQ(owner(file), "absent");
}

// "<v4|v6>[ v6only] port=<n> accepted" once a loopback connection through fd carried a byte.
std::string describeListener(int fd, int domain) {
  sockaddr_in6 at{};
  socklen_t len = sizeof at;
  int v6only = 0;
  socklen_t optLen = sizeof v6only;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0) return "getsockname failed";
  std::string out = domain == AF_INET ? "v4" : "v6";
  if (domain == AF_INET6 && ::getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &optLen) == 0 &&
      v6only == 1) {
    out += " v6only";
  }
  out += " port=" + std::to_string(ntohs(at.sin6_port));  // same offset in sockaddr_in
  UniqueFd client(::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (domain == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&at)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    at.sin6_addr = in6addr_loopback;
  }
  if (::connect(client.get(), reinterpret_cast<sockaddr*>(&at), len) != 0) {
    return out + " connect: " + std::strerror(errno);
  }
  UniqueFd served(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
  char c = 0;
  if (!served || ::write(client.get(), "x", 1) != 1 || ::read(served.get(), &c, 1) != 1) {
    return out + " not served";
  }
  return out + " accepted";
}

TEST(ListeningSocketSystemTest, AUserGetsIPv4AndIPv6SocketsOnPort80) {
  const std::string report = asUser(kAlice, [](HelperClient& h) {
    UniqueFd own(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(80);
    std::string out = ::bind(own.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
                          ? "own bind worked\n"
                          : std::string("own bind: ") + std::strerror(errno) + "\n";
    own.reset();
    Result<SocketReply> v4 = h.openListeningSocket(2, 80);
    Result<SocketReply> v6 = h.openListeningSocket(30, 80);  // while the IPv4 one is held
    for (auto* r : {&v4, &v6}) {
      if (!*r || !(*r)->handle) return out + "refused: " + ((*r) ? (*r)->message.value_or("") : "");
      out += describeListener((*r)->handle.get(), r == &v4 ? AF_INET : AF_INET6) + "\n";
    }
    return out;
  });
  EXPECT_EQ(report, std::string("own bind: ") + std::strerror(EACCES) +
                        "\nv4 port=80 accepted\nv6 v6only port=80 accepted\n");
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
    for (const char* entry : {"/link-etc", "/link-bob", "/link-root", "/race-etc", "/race-etc.alt",
                              "/race-bob", "/race-bob.alt", "/race-done"}) {
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
    for (const std::string& p :
         {std::string("/"), std::string("/etc"), std::string("/etc/passwd")}) {
      EXPECT_EQ(owner(p), "0:0") << p;
    }
    EXPECT_EQ(owner(bob_), "502:20");
    EXPECT_EQ(owner(bob_ + "/chown-data"), "502:20");
  }
  std::string chown(const std::string& path, std::int64_t uid) {
    return asUser(kAlice, [&](HelperClient& h) { return text(h.chownTamselDataDir(path, uid)); });
  }

  const std::string alice_{kAlice.home}, bob_{kBob.home}, data_ = alice_ + "/chown-data";
};

TEST_F(ChownSystemTest, ATreeInTheHomeGoesToTheUserAndBackToRoot) {
  EXPECT_EQ(chown(data_ + "/", 501), "YES");
  expectTreeOwnedBy("501:20");
  EXPECT_EQ(toolRuns(), 1u);
  EXPECT_EQ(chown(data_, 0), "YES");
  expectTreeOwnedBy("0:0");
  expectOthersUntouched();
}

TEST_F(ChownSystemTest, LinksInTheHomeDoNotCarryAChownOutOfIt) {
  fs::create_symlink("/etc", alice_ + "/link-etc");
  fs::create_symlink(bob_, alice_ + "/link-bob");
  fs::create_symlink("/", alice_ + "/link-root");
  for (const char* rel : {"/link-etc", "/link-etc/passwd", "/link-bob/chown-data", "/link-root",
                          "/link-root/Users/bob"}) {
    EXPECT_EQ(chown(alice_ + rel, 501), kPathRefusal) << rel;
  }
  EXPECT_EQ(toolRuns(), 0u);
  // The whole home may be handed over; chown -R changes the links, not what they point to.
  EXPECT_EQ(chown(alice_ + "/", 501), "YES");
  EXPECT_EQ(owner(alice_ + "/link-etc"), "501:20");
  expectTreeOwnedBy("501:20");
  expectOthersUntouched();
}

// alice swaps entries of her home between a directory and a link to /etc or to bob's home, 2,000
// times, while asking for paths through them: whatever the timing, no owner outside her home
// changes, and the daemon stays up. Once is enough: the hardened run adds nothing to the race.
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
  EXPECT_GT(toolRuns(), 5u) << "chown hardly ran while the links flipped";
  EXPECT_EQ(daemonPid(), daemon);
}

}  // namespace
}  // namespace tamsel::systemtest
