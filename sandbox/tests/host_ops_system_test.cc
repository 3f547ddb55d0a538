// Resolver files, listening sockets and data-directory ownership against the real daemon, asked
// by the test users alice and bob. Effects are proved from outside the daemon: the files under
// /etc/resolver, owners on disk, what a descriptor the client received can do, the tool runs the
// chown shim records, and the daemon's own descriptors in /proc.
#include <arpa/inet.h>
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
#include <sstream>

#include "sandbox/tests/support/raw_connection.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;

constexpr int kTimeoutMs = 10'000;
constexpr const char* kInstall = "installResolverWithTld:listenAddress:port:reply:";
constexpr const char* kRemove = "removeResolverWithTld:reply:";
constexpr const char* kOpenSocket = "openListeningSocketWithFamily:port:reply:";
constexpr const char* kChown = "chownTamselDataDirWithPath:toUid:reply:";
const std::string kResolverDir = "/etc/resolver";
const std::string kPathRefusal =
    "NO 0 chownTamselDataDir: path must live under the connecting user's home";

// Runs body in a child that has become user, with an admitted connection; returns the report
// the body made (or why there was none).
std::string asUser(const TestUser& user, const std::function<std::string(RawConnection&)>& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  const int status = runAsUser(user, [&] {
    readEnd.reset();
    std::string error;
    std::optional<RawConnection> conn = openAdmitted(kTimeoutMs, &error);
    const std::string report = conn ? body(*conn) : "not admitted: " + error;
    std::string_view rest = std::string_view(report).substr(0, 60'000);  // fits the pipe
    while (!rest.empty()) {
      const ssize_t n = ::write(writeEnd.get(), rest.data(), rest.size());
      if (n <= 0) return 1;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
  });
  writeEnd.reset();
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) {
    report.append(buffer, static_cast<std::size_t>(n));
  }
  if (status != 0) report += " [child exit " + std::to_string(status) + "]";
  return report;
}

std::string messageText(const ipc::Value& v) {
  const auto* s = std::get_if<ipc::StringValue>(&v);
  if (s == nullptr) return "<not a string>";
  return s->text ? *s->text : "null";
}

std::string codeText(const ipc::Value& v) {
  const auto* c = std::get_if<std::int32_t>(&v);
  return c ? std::to_string(*c) : "<not an int32>";
}

// "YES" for (YES, null, 0); otherwise "NO <code> <message>" (or what arrived instead).
std::string statusText(const Outcome& o) {
  if (o.kind != Outcome::Kind::kReply || o.values.size() != 3) return o.describe();
  const bool* ok = std::get_if<bool>(&o.values[0]);
  if (ok == nullptr) return "<first value not a flag>";
  const std::string tail = codeText(o.values[2]) + " " + messageText(o.values[1]);
  return *ok ? (tail == "0 null" ? "YES" : "YES " + tail) : "NO " + tail;
}

std::string status(RawConnection& conn, const char* selector, std::vector<ipc::Value> args) {
  return statusText(conn.call(selector, std::move(args), kTimeoutMs));
}

std::string install(RawConnection& conn, std::string tld, std::string address, std::int64_t port) {
  return status(conn, kInstall, arguments(text(std::move(tld)), text(std::move(address)), port));
}

std::string remove(RawConnection& conn, std::string tld) {
  return status(conn, kRemove, arguments(text(std::move(tld))));
}

std::string chown(RawConnection& conn, std::string path, std::int64_t uid) {
  return status(conn, kChown, arguments(text(std::move(path)), uid));
}

// A socket reply: the descriptor (invalid when refused) and "NO <code> <message>" or "FD".
struct SocketAnswer {
  UniqueFd fd;
  std::string text;
};

SocketAnswer openSocket(RawConnection& conn, std::int64_t family, std::uint16_t port) {
  Outcome o = conn.call(kOpenSocket, arguments(family, port), kTimeoutMs);
  if (o.kind != Outcome::Kind::kReply || o.values.size() != 3) return {{}, o.describe()};
  auto* fd = std::get_if<ipc::FdValue>(&o.values[0]);
  if (fd == nullptr) return {{}, "<first value not a handle>"};
  const std::string tail = codeText(o.values[2]) + " " + messageText(o.values[1]);
  if (!fd->fd.valid()) return {{}, "NO " + tail};
  return {std::move(fd->fd), tail == "0 null" ? "FD" : "FD " + tail};
}

std::uint16_t portOf(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

int option(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  return ::getsockopt(fd, level, name, &value, &len) == 0 ? value : -1;
}

// What the client can tell about a listening descriptor, proved by connecting to it over
// loopback and accepting: "<v4|v6>[ v6only] port=<n> listening accepted".
std::string describeListener(int fd) {
  const int domain = option(fd, SOL_SOCKET, SO_DOMAIN);
  const std::uint16_t port = portOf(fd);
  std::string out = domain == AF_INET ? "v4" : domain == AF_INET6 ? "v6" : "family?";
  if (domain == AF_INET6 && option(fd, IPPROTO_IPV6, IPV6_V6ONLY) == 1) out += " v6only";
  out += " port=" + std::to_string(port);
  if (option(fd, SOL_SOCKET, SO_ACCEPTCONN) == 1) out += " listening";

  UniqueFd client(::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int rc;
  if (domain == AF_INET) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = ::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
  } else {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    to.sin6_addr = in6addr_loopback;
    rc = ::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  if (rc != 0) return out + " connect: " + std::strerror(errno);
  UniqueFd served(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
  if (!served) return out + " accept: " + std::strerror(errno);
  char c = 0;
  if (::write(client.get(), "x", 1) != 1 || ::read(served.get(), &c, 1) != 1 || c != 'x') {
    return out + " no data";
  }
  return out + " accepted";
}

struct stat lstatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

std::string owner(const std::string& path) {
  const struct stat st = lstatOf(path);
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

std::size_t toolRuns() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(std::string(kToolFdsDir))) ++n;
  return n;
}

void clearToolRuns() {
  for (const auto& e : fs::directory_iterator(std::string(kToolFdsDir))) fs::remove(e.path());
}

// ---------------------------------------------------------------------------------------------
// Resolver files

class ResolverSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(kResolverDir);
    for (const auto& e : fs::directory_iterator(kResolverDir)) fs::remove_all(e.path());
  }
};

TEST_F(ResolverSystemTest, InstallThenRemoveAsAUser) {
  EXPECT_EQ(asUser(kAlice, [](RawConnection& c) { return install(c, "test", "127.0.0.1", 53); }),
            "YES");
  EXPECT_EQ(readFile(kResolverDir + "/test"),
            "# Tamsel \xE2\x80\x94 auto-generated resolver for .test domains\n"
            "nameserver 127.0.0.1\nport 53");
  EXPECT_EQ(owner(kResolverDir + "/test"), "0:0");
  EXPECT_EQ(lstatOf(kResolverDir + "/test").st_mode & 0777, 0644u);

  // Installing again replaces the file whole.
  EXPECT_EQ(asUser(kBob, [](RawConnection& c) { return install(c, "test", "", -5353); }), "YES");
  EXPECT_EQ(readFile(kResolverDir + "/test"),
            "# Tamsel \xE2\x80\x94 auto-generated resolver for .test domains\n"
            "nameserver \nport -5353");
  EXPECT_EQ(std::distance(fs::directory_iterator(kResolverDir), fs::directory_iterator()), 1);

  EXPECT_EQ(asUser(kAlice, [](RawConnection& c) { return remove(c, "test"); }), "YES");
  EXPECT_FALSE(fs::exists(fs::symlink_status(kResolverDir + "/test")));
}

TEST_F(ResolverSystemTest, InvalidLabelsAreRefusedWithTheirExactMessages) {
  const std::string report = asUser(kAlice, [](RawConnection& c) {
    std::string out;
    for (const char* label : {"", "Test", ".test", "test-", "a/b", "..", "test "}) {
      out += install(c, label, "127.0.0.1", 53) + "\n";
      out += remove(c, label) + "\n";
    }
    // A null label arrives as the empty one.
    out += status(c, kInstall,
                  arguments(ipc::StringValue{std::nullopt}, text("127.0.0.1"), std::int64_t{53})) +
           "\n";
    return out;
  });
  std::string expected;
  for (const char* label : {"", "Test", ".test", "test-", "a/b", "..", "test "}) {
    expected += std::string("NO 0 Refusing to write resolver file: ") + label +
                " is not a valid single DNS label\n";
    expected += std::string("NO 0 Refusing to remove resolver file: ") + label +
                " is not a valid single DNS label\n";
  }
  expected += "NO 0 Refusing to write resolver file:  is not a valid single DNS label\n";
  EXPECT_EQ(report, expected);
  EXPECT_TRUE(fs::is_empty(kResolverDir));
}

TEST_F(ResolverSystemTest, AMissingResolverDirectoryIsCreated) {
  fs::remove_all(kResolverDir);
  EXPECT_EQ(asUser(kAlice, [](RawConnection& c) { return install(c, "dev", "::1", 5300); }), "YES");
  EXPECT_TRUE(fs::is_directory(kResolverDir));
  EXPECT_EQ(readFile(kResolverDir + "/dev"),
            "# Tamsel \xE2\x80\x94 auto-generated resolver for .dev domains\n"
            "nameserver ::1\nport 5300");
}

TEST_F(ResolverSystemTest, RemovingAnAbsentFileOrADanglingLinkSucceedsAndKeepsTheLink) {
  fs::create_symlink("/nonexistent/target", kResolverDir + "/dangling");
  const std::string report = asUser(
      kAlice, [](RawConnection& c) { return remove(c, "absent") + " " + remove(c, "dangling"); });
  EXPECT_EQ(report, "YES YES");
  EXPECT_TRUE(fs::is_symlink(kResolverDir + "/dangling"));
}

// ---------------------------------------------------------------------------------------------
// Listening sockets

TEST(ListeningSocketSystemTest, AUserGetsIPv4AndIPv6SocketsOnAPrivilegedPort) {
  const std::string report = asUser(kAlice, [](RawConnection& c) {
    std::string out;
    // The user cannot take the port herself.
    UniqueFd own(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(80);
    const bool ownBind = ::bind(own.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    out += ownBind ? "own bind worked\n" : std::string("own bind: ") + std::strerror(errno) + "\n";
    own.reset();

    SocketAnswer v4 = openSocket(c, 2, 80);
    out += v4.text + (v4.fd ? " " + describeListener(v4.fd.get()) : "") + "\n";
    SocketAnswer v6 = openSocket(c, 30, 80);  // same port, while the IPv4 one is held
    out += v6.text + (v6.fd ? " " + describeListener(v6.fd.get()) : "") + "\n";
    return out;
  });
  EXPECT_EQ(report, std::string("own bind: ") + std::strerror(EACCES) +
                        "\n"
                        "FD v4 port=80 listening accepted\n"
                        "FD v6 v6only port=80 listening accepted\n");
}

TEST(ListeningSocketSystemTest, ABoundPortIsRefusedAndPortZeroGetsAFreeOne) {
  const std::string report = asUser(kBob, [](RawConnection& c) {
    SocketAnswer first = openSocket(c, 2, 0);
    if (!first.fd) return "port 0: " + first.text;
    const std::string port = std::to_string(portOf(first.fd.get()));
    std::string out = port == "0" ? "port stayed 0\n" : "a free port\n";
    // The port number varies; the report names it P.
    auto named = [&port](std::string text) {
      for (auto at = text.find(port); at != std::string::npos; at = text.find(port, at + 1)) {
        text.replace(at, port.size(), "P");
      }
      return text;
    };
    out += named(describeListener(first.fd.get())) + "\n";
    out += named(openSocket(c, 2, portOf(first.fd.get())).text) + "\n";
    return out;
  });
  EXPECT_EQ(report,
            "a free port\n"
            "v4 port=P listening accepted\n"
            "NO 98 bind(port=P): " +
                std::string(std::strerror(EADDRINUSE)) + " (errno 98)\n");
}

TEST(ListeningSocketSystemTest, UnsupportedFamiliesAreRefused) {
  const std::string report = asUser(kAlice, [](RawConnection& c) {
    std::string out;
    for (std::int64_t family : {1, 10, -1}) out += openSocket(c, family, 8080).text + "\n";
    return out;
  });
  EXPECT_EQ(report,
            "NO 0 unsupported address family: 1\n"
            "NO 0 unsupported address family: 10\n"
            "NO 0 unsupported address family: -1\n");
}

// ---------------------------------------------------------------------------------------------
// Data directory ownership

class ChownSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    alice_ = std::string(kAlice.home);
    bob_ = std::string(kBob.home);
    data_ = alice_ + "/chown-data";
    fs::remove_all(data_);
    fs::create_directories(data_ + "/inner/deeper");
    std::ofstream(data_ + "/inner/deeper/file") << "x";
    std::ofstream(data_ + "/top") << "x";
    fs::create_directories(bob_ + "/chown-data");
    std::ofstream(bob_ + "/chown-data/file") << "x";
    ASSERT_EQ(::lchown((bob_ + "/chown-data").c_str(), kBob.uid, kBob.gid), 0);
    ASSERT_EQ(::lchown((bob_ + "/chown-data/file").c_str(), kBob.uid, kBob.gid), 0);
    clearToolRuns();
  }
  void TearDown() override {
    fs::remove_all(data_);
    for (const char* entry : {"/link-etc", "/link-bob", "/link-root", "/race-etc", "/race-etc.alt",
                              "/race-bob", "/race-bob.alt", "/race-done"}) {
      fs::remove_all(alice_ + entry);
    }
    // Should a race have been won, later tests start clean; nothing to do if this fails.
    [[maybe_unused]] const int restored = ::lchown("/etc/passwd", 0, 0);
  }

  std::vector<std::string> tree() const {
    return {data_, data_ + "/top", data_ + "/inner", data_ + "/inner/deeper",
            data_ + "/inner/deeper/file"};
  }
  void expectTreeOwnedBy(const std::string& who) {
    for (const std::string& p : tree()) EXPECT_EQ(owner(p), who) << p;
  }
  void expectOthersUntouched() {
    EXPECT_EQ(owner("/etc"), "0:0");
    EXPECT_EQ(owner("/etc/passwd"), "0:0");
    EXPECT_EQ(owner("/"), "0:0");
    EXPECT_EQ(owner(bob_), "502:20");
    EXPECT_EQ(owner(bob_ + "/chown-data"), "502:20");
    EXPECT_EQ(owner(bob_ + "/chown-data/file"), "502:20");
  }

  std::string alice_, bob_, data_;
};

TEST_F(ChownSystemTest, ATreeInTheHomeGoesToTheUserAndToRoot) {
  expectTreeOwnedBy("0:0");
  EXPECT_EQ(asUser(kAlice, [this](RawConnection& c) { return chown(c, data_ + "/", 501); }), "YES");
  expectTreeOwnedBy("501:20");
  EXPECT_EQ(toolRuns(), 1u);

  EXPECT_EQ(asUser(kAlice, [this](RawConnection& c) { return chown(c, data_, 0); }), "YES");
  expectTreeOwnedBy("0:0");
  expectOthersUntouched();
}

TEST_F(ChownSystemTest, PathsOutsideTheHomeAreRefused) {
  const std::string report = asUser(kAlice, [this](RawConnection& c) {
    std::string out;
    for (const std::string& path : {alice_ + "/../bob/chown-data", bob_ + "/chown-data",
                                    std::string("/etc"), std::string("/"), std::string("/Users"),
                                    alice_ + "2", std::string("chown-data"), std::string("")}) {
      out += chown(c, path, 501) + "\n";
    }
    return out;
  });
  std::string expected;
  for (int i = 0; i < 8; ++i) expected += kPathRefusal + "\n";
  EXPECT_EQ(report, expected);
  // Bob may not hand over alice's tree either.
  EXPECT_EQ(asUser(kBob, [this](RawConnection& c) { return chown(c, data_, 502); }), kPathRefusal);
  EXPECT_EQ(toolRuns(), 0u);
  expectTreeOwnedBy("0:0");
  expectOthersUntouched();
}

TEST_F(ChownSystemTest, NothingAtThePathIsYesWithoutRunningChown) {
  EXPECT_EQ(asUser(kAlice,
                   [this](RawConnection& c) {
                     return chown(c, alice_ + "/no-such-dir", 501) + " " +
                            chown(c, alice_ + "/no-such-dir/deeper", 12345);
                   }),
            "YES YES");
  EXPECT_EQ(toolRuns(), 0u);
}

TEST_F(ChownSystemTest, UserIdsWithoutAnEntryAreRefused) {
  const std::string report = asUser(kAlice, [this](RawConnection& c) {
    return chown(c, data_, 12345) + "\n" + chown(c, data_, -1) + "\n" +
           chown(c, data_, 4294967296LL + 501) + "\n";
  });
  EXPECT_EQ(report,
            "NO 0 chownTamselDataDir: uid 12345 not found in passwd\n"
            "NO 0 chownTamselDataDir: uid -1 is not a valid user id\n"
            "NO 0 chownTamselDataDir: uid 4294967797 is not a valid user id\n");
  EXPECT_EQ(toolRuns(), 0u);
  expectTreeOwnedBy("0:0");
}

TEST_F(ChownSystemTest, LinksInTheHomeDoNotCarryAChownOutOfIt) {
  fs::create_symlink("/etc", alice_ + "/link-etc");
  fs::create_symlink(bob_, alice_ + "/link-bob");
  fs::create_symlink("/", alice_ + "/link-root");
  const std::string report = asUser(kAlice, [this](RawConnection& c) {
    std::string out;
    for (const char* rel : {"/link-etc", "/link-etc/passwd", "/link-bob", "/link-bob/chown-data",
                            "/link-root", "/link-root/etc", "/link-root/Users/bob"}) {
      out += chown(c, alice_ + rel, 501) + "\n";
    }
    return out;
  });
  std::string expected;
  for (int i = 0; i < 7; ++i) expected += kPathRefusal + "\n";
  EXPECT_EQ(report, expected);
  EXPECT_EQ(toolRuns(), 0u);
  expectOthersUntouched();

  // Handing over the whole home is allowed; chown -R changes the links, not what they point to.
  EXPECT_EQ(asUser(kAlice, [this](RawConnection& c) { return chown(c, alice_ + "/", 501); }),
            "YES");
  EXPECT_EQ(owner(alice_ + "/link-etc"), "501:20");
  expectTreeOwnedBy("501:20");
  expectOthersUntouched();
}

// alice swaps entries of her home between a directory and a link to /etc or to bob's home, 2,000
// times, while asking for paths through them to be handed to her: whatever the timing, no owner
// outside her home changes, and the daemon stays up.
TEST_F(ChownSystemTest, SwappingLinksUnderTheCheckChangesNoOwnerOutsideTheHome) {
  const std::optional<pid_t> daemon = daemonPid();
  fs::create_directories(alice_ + "/race-etc");
  fs::create_directories(alice_ + "/race-bob/chown-data");
  std::ofstream(alice_ + "/race-etc/passwd") << "x";
  std::ofstream(alice_ + "/race-bob/chown-data/file") << "x";
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
  asUser(kAlice, [&](RawConnection& c) {
    for (int i = 0; i < 10'000 && ::access(done.c_str(), F_OK) != 0; ++i) {
      chown(c, alice_ + (i % 2 ? "/race-etc/passwd" : "/race-bob/chown-data/file"), 501);
    }
    return "";
  });
  EXPECT_EQ(flipper.wait(), 0);
  expectOthersUntouched();
  EXPECT_GT(toolRuns(), 5u) << "chown hardly ran while the links flipped";
  EXPECT_EQ(daemonPid(), daemon);
}

// ---------------------------------------------------------------------------------------------
// Descriptors of the daemon

// Samples the daemon's descriptor count until it holds still (a closed connection is released
// shortly after the client's close).
int settledCount(pid_t pid) {
  int last = openDescriptorCount(pid);
  for (int stable = 0, rounds = 0; stable < 20 && rounds < 500; ++rounds) {
    ::usleep(10'000);
    const int now = openDescriptorCount(pid);
    stable = now == last ? stable + 1 : 0;
    last = now;
  }
  return last;
}

TEST(HostOpsDescriptorSystemTest, FailureRepliesLeaveNoDescriptorInTheDaemon) {
  const std::optional<pid_t> daemon = daemonPid();
  ASSERT_TRUE(daemon);
  const std::string alice(kAlice.home);
  fs::create_directories(alice + "/fd-data");
  // Warm up what the daemon opens once, on each path.
  asUser(kAlice, [&](RawConnection& c) {
    SocketAnswer s = openSocket(c, 2, 0);
    return install(c, "warm", "127.0.0.1", 53) + chown(c, alice + "/fd-data", 501) + s.text;
  });
  const int before = settledCount(*daemon);
  ASSERT_GT(before, 0);

  const std::string report = asUser(kAlice, [&](RawConnection& c) {
    std::string out;
    for (int round = 0; round < 20; ++round) {
      SocketAnswer held = openSocket(c, 2, 0);  // succeeds: the client holds the only copy
      if (!held.fd) return "port 0: " + held.text;
      const std::uint16_t port = portOf(held.fd.get());
      out += openSocket(c, 2, port).text.substr(0, 5) + openSocket(c, 30, 0).text.substr(0, 2);
      out += openSocket(c, 1, 80).text.substr(0, 4);
      out += install(c, "Bad", "x", 1).substr(0, 4) + remove(c, "a/b").substr(0, 4);
      out += chown(c, "/etc", 501).substr(0, 4) + chown(c, alice + "/fd-data", 12345).substr(0, 4);
      out += "\n";
    }
    return out;
  });
  std::string expected;
  for (int round = 0; round < 20; ++round) expected += "NO 98FDNO 0NO 0NO 0NO 0NO 0\n";
  EXPECT_EQ(report, expected);
  EXPECT_EQ(waitForDescriptorCount(*daemon, before, 5'000), before);
  fs::remove_all(alice + "/fd-data");
  fs::remove(kResolverDir + "/warm");
}

}  // namespace
}  // namespace tamsel::systemtest
