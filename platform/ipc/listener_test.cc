// The listener's connection machinery over real sockets. The test binary is not signed, so
// these tests admit any identified peer; admission by signature has its own tests.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>

#include "platform/ipc/ipc_test_support.h"
#include "platform/ipc/listen_socket.h"
#include "platform/ipc/listener_testing.h"
#include "platform/ipc/peer_identity.h"

namespace tamsel::ipc {
namespace {

using namespace testing;

// Descriptors the test program inherited (from whoever started it), taken before any test.
const std::vector<int> kInheritedFds = [] {
  std::vector<int> fds;
  for (int fd = 0; fd < 1024; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) fds.push_back(fd);
  }
  return fds;
}();

class ListenerTest : public ::testing::Test {
 protected:
  // A listener on dir's socket "name", admitting any identified peer unless told how to check.
  std::unique_ptr<Listener> listen(const std::string& name, std::function<bool()> check = {}) {
    auto l = std::make_unique<Listener>("test", ListenerOptions{dir.file(name), "", false, 60'000});
    EXPECT_TRUE(l->status().ok()) << l->status().error().description;
    if (check) {
      ListenerTesting::checkEveryPeerWith(*l, std::move(check));
    } else {
      ListenerTesting::admitAnyIdentifiedPeer(*l);
    }
    l->setDelegate(&delegate);
    l->resume();
    return l;
  }
  RawPeer admittedPeer() {
    RawPeer p(dir.file("s"));
    EXPECT_TRUE(p.waitHello());
    return p;
  }

  ScratchDir dir;
  std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
  AcceptingDelegate delegate{handler};
  std::unique_ptr<Listener> listener = listen("s");
};

TEST_F(ListenerTest, RepliesMatchRequestsAndCarryTheKernelStampedPeer) {
  RawPeer p = admittedPeer();
  // Two requests in one write come back in order, each under its own id.
  std::string both;
  std::vector<int> none;
  ASSERT_TRUE(wire::appendRequest(both, Request{11, "echo", values(StringValue{"a"})}, none));
  ASSERT_TRUE(wire::appendRequest(both, Request{12, "peer", {}}, none));
  ASSERT_TRUE(p.sendBytes(both));
  auto first = p.readReply();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->id, 11u);
  EXPECT_EQ(std::get<StringValue>(first->values.at(0)).text, "a");
  auto second = p.readReply();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->id, 12u);
  ASSERT_EQ(second->values.size(), 3u);
  EXPECT_EQ(std::get<std::int64_t>(second->values[0]), ::getpid());
  EXPECT_EQ(std::get<std::int64_t>(second->values[1]), ::geteuid());
  EXPECT_EQ(std::get<std::int64_t>(second->values[2]), ::getegid());
  EXPECT_FALSE(currentConnectionPeer().has_value());  // outside a request

  // Whatever this process opened since it started was opened close-on-exec.
  int checked = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || std::count(kInheritedFds.begin(), kInheritedFds.end(), fd) != 0) continue;
    ++checked;
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd;
  }
  EXPECT_GE(checked, 8);
}

TEST_F(ListenerTest, BadFramesAndFailedBodiesEndOnlyTheirOwnConnection) {
  RawPeer bystander = admittedPeer();
  const std::string huge = {'\xff', '\xff', '\xff', '\x7f'};  // refused on its header alone
  std::string frame;
  std::vector<int> none;
  ASSERT_TRUE(wire::appendRequest(frame, Request{77, "echo", values(StringValue{"x"})}, none));
  std::string dropped = frame, failed = frame;
  dropped.replace(dropped.find("echo"), 4, "drop");
  failed.replace(failed.find("echo"), 4, "fail");
  struct Case {
    std::string bytes;
    bool errorFrame;
  };
  for (const Case& c : {Case{huge, true}, Case{dropped, true}, Case{failed, true},
                        Case{frame.substr(0, frame.size() / 2), false}}) {
    RawPeer p = admittedPeer();
    ASSERT_TRUE(p.sendBytes(c.bytes));
    if (!c.errorFrame) continue;  // half a frame, and the peer goes away
    auto f = p.readFrame();
    ASSERT_TRUE(f.has_value());
    ASSERT_TRUE(std::holds_alternative<wire::ErrorFrame>(*f));
    EXPECT_EQ(std::get<wire::ErrorFrame>(*f).id, c.bytes == huge ? 0u : 77u);
    EXPECT_TRUE(p.endsWithin());
  }
  EXPECT_TRUE(eventually([&] { return ListenerTesting::connectionCount(*listener) == 1; }));
  EXPECT_EQ(handler->calls.load(), 2);  // drop and fail
  ASSERT_TRUE(bystander.sendRequest(2, "echo"));
  EXPECT_TRUE(bystander.readReply().has_value());
}

// One user's peers waiting for their check (the first in it, held at the gate) are bounded, and
// so are her connections: past either bound a peer is turned away at once, not left waiting.
TEST_F(ListenerTest, AUsersWaitingPeersAndConnectionsAreBounded) {
  constexpr std::size_t kWaiting = 16, kConnections = 256;
  Gate gate;
  auto bounded = listen("bounded", [&] {
    gate.wait();
    return true;
  });
  struct OpenAtEnd {
    Gate& g;
    ~OpenAtEnd() { g.open(); }
  } openAtEnd{gate};
  std::vector<RawPeer> peers;
  while (peers.size() < kWaiting) {
    peers.emplace_back(dir.file("bounded"));
    ASSERT_TRUE(
        eventually([&] { return ListenerTesting::peersWaiting(*bounded) == peers.size(); }));
  }
  EXPECT_TRUE(RawPeer(dir.file("bounded")).endsWithin());
  gate.open();
  for (auto& p : peers) ASSERT_TRUE(p.waitHello());
  while (peers.size() < kConnections) {
    peers.emplace_back(dir.file("bounded"));
    ASSERT_TRUE(peers.back().waitHello());
  }
  gate.close();
  EXPECT_TRUE(RawPeer(dir.file("bounded")).endsWithin());
  EXPECT_EQ(ListenerTesting::peersWaiting(*bounded), 0u);
}

TEST_F(ListenerTest, BlockedBodiesDoNotStarveOtherConnections) {
  constexpr int kBlocked = 6;  // more than the pool starts with
  std::vector<RawPeer> blocked;
  for (int i = 0; i < kBlocked; ++i) {
    blocked.push_back(admittedPeer());
    ASSERT_TRUE(blocked.back().sendRequest(1, "block"));
  }
  ASSERT_TRUE(eventually([&] { return handler->blocked.load() == kBlocked; }));
  // A second request queued behind a blocked one waits its turn: order within a connection.
  ASSERT_TRUE(blocked[0].sendRequest(2, "echo"));
  RawPeer pinger = admittedPeer();
  for (std::uint64_t i = 100; i < 120; ++i) {
    ASSERT_TRUE(pinger.sendRequest(i, "echo"));
    auto r = pinger.readReply(2000);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->id, i);
  }
  handler->gate.open();
  for (std::uint64_t id : {1, 2}) EXPECT_EQ(blocked[0].readReply()->id, id);
  for (int i = 1; i < kBlocked; ++i) EXPECT_TRUE(blocked[i].readReply().has_value());
}

TEST_F(ListenerTest, DescriptorsCrossOnlyInRepliesAndTheDaemonKeepsNone) {
  RawPeer p = admittedPeer();
  ASSERT_TRUE(p.sendRequest(1, "echo"));
  ASSERT_TRUE(p.readReply().has_value());
  const int before = openFdCount();
  ASSERT_TRUE(p.sendRequest(2, "pipe"));
  auto r = p.readReply();
  ASSERT_TRUE(r.has_value());
  UniqueFd fd = std::move(std::get<FdValue>(r->values.at(0)).fd);
  EXPECT_EQ(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  char c;
  EXPECT_EQ(::read(fd.get(), &c, 1), 0);  // the daemon dropped the write end
  EXPECT_EQ(openFdCount(), before + 1);   // ours; the daemon's copy is gone

  // A descriptor a client attaches is closed at once.
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  std::string frame;
  std::vector<int> none;
  ASSERT_TRUE(wire::appendRequest(frame, Request{3, "echo", {}}, none));
  ASSERT_TRUE(p.sendBytes(frame, {writeEnd.get()}));
  ASSERT_TRUE(p.readReply().has_value());
  writeEnd.reset();
  ASSERT_TRUE(sock::waitReadable(readEnd.get(), 2000));
  EXPECT_EQ(::read(readEnd.get(), &c, 1), 0);  // nobody holds the write end
}

// A frame is one process's words: a second writer on the connection, admitted in its own right,
// cannot finish a frame the first one began.
TEST_F(ListenerTest, AFrameBegunByOneWriterCannotBeFinishedByAnother) {
  RawPeer p = admittedPeer();
  std::string frame;
  std::vector<int> none;
  ASSERT_TRUE(wire::appendRequest(frame, Request{1, "echo"}, none));
  int pair[2];  // the child says when it is introduced; the parent, when to finish the frame
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd parentEnd(pair[0]), childEnd(pair[1]);
  char c = 0;
  const pid_t child = ::fork();
  if (child == 0) {
    parentEnd.reset();
    const bool ok = p.introduce() && ::write(childEnd.get(), "r", 1) == 1 &&
                    ::read(childEnd.get(), &c, 1) == 1 &&
                    p.sendBytes(frame.substr(frame.size() / 2));
    [[maybe_unused]] const ssize_t end = ::read(childEnd.get(), &c, 1);  // alive until the end
    ::_exit(ok ? 0 : 1);
  }
  childEnd.reset();
  ASSERT_EQ(::read(parentEnd.get(), &c, 1), 1);
  ASSERT_TRUE(p.sendBytes(frame.substr(0, frame.size() / 2)));
  ASSERT_EQ(::write(parentEnd.get(), "g", 1), 1);
  EXPECT_TRUE(p.endsWithin());
  EXPECT_EQ(handler->calls.load(), 0);
  parentEnd.reset();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
}

TEST_F(ListenerTest, RunningOutOfDescriptorsPausesAcceptingWithoutSpinning) {
#ifdef TAMSEL_SANITIZED
  // The sanitizers' own checks need descriptors, which this test takes from the whole process.
  GTEST_SKIP() << "not meaningful under sanitizers";
#endif
  RawPeer keep = admittedPeer();
  // Client sockets made first; then every free descriptor is taken: none is left for accepting.
  std::vector<RawPeer> waiting;
  for (int i = 0; i < 4; ++i)
    waiting.emplace_back(UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)));
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit tight = {static_cast<rlim_t>(openFdCount() + 64), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<UniqueFd> filler;
  for (UniqueFd f; (f = UniqueFd(::fcntl(0, F_DUPFD_CLOEXEC, 0)));) filler.push_back(std::move(f));
  for (auto& w : waiting) ASSERT_TRUE(w.connectTo(dir.file("s")));
  const std::clock_t before = std::clock();  // the process's processor time
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 10);  // no busy accept loop
  ASSERT_TRUE(keep.sendRequest(1, "echo"));
  EXPECT_TRUE(keep.readReply().has_value());
  filler.clear();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  for (auto& w : waiting) EXPECT_TRUE(w.waitHello());
}

// The executable must lie on a mount of the system's that no user serves: the test program's
// own mount, under each type, in a table of its own.
TEST(PeerIdentity, AnExecutableOnAUserServedFileSystemIsRefused) {
  struct statx sx {};
  ASSERT_EQ(::statx(AT_FDCWD, "/proc/self/exe", 0, STATX_MNT_ID, &sx), 0);
  ScratchDir dir;
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd mine(pair[0]), theirs(pair[1]);
  auto stamp = sock::peerCredentials(mine.get());
  ASSERT_TRUE(stamp.ok());
  for (auto [type, admitted] : {std::pair{"ext4", true},
                                {"fuse", false},
                                {"fuseblk", false},
                                {"fuse.sshfs", false},
                                {"fusectl", true}}) {
    std::ofstream(dir.file("mounts")) << sx.stx_mnt_id << " 1 " << sx.stx_dev_major << ":"
                                      << sx.stx_dev_minor << " / / rw - " << type << " x rw\n";
    PeerIdentifier identifier(dir.file("mounts").c_str());
    EXPECT_EQ(identifier.connecting(mine.get(), *stamp, false).ok(), admitted) << type;
  }
}

TEST(ListenSocket, ReplacesAStaleSocketButNothingElse) {
  ScratchDir dir;
  const std::string path = dir.file("s");
  ASSERT_TRUE(bindListeningSocket(path).ok());  // closed at once, the file stays: a stale socket
  auto second = bindListeningSocket(path);
  ASSERT_TRUE(second.ok()) << second.error().description;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(::fcntl(second->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  const std::string plain = dir.file("plain");
  UniqueFd f(::open(plain.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  EXPECT_FALSE(bindListeningSocket(plain).ok());
  EXPECT_EQ(::access(plain.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tamsel::ipc
