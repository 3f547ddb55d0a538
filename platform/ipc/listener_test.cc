// The listener's connection machinery over real sockets. The test binary is not signed, so
// these tests admit any identified peer; admission by signature has its own tests.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/identity.h"
#include "platform/ipc/ipc_test_support.h"
#include "platform/ipc/listen_socket.h"
#include "platform/ipc/listener_testing.h"

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

class ListenerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ListenerOptions options;
    options.socketPath = dir.file("s");
    options.forcePidfdFallback = GetParam();
    listener = std::make_unique<Listener>("test", options);
    ASSERT_TRUE(listener->status().ok()) << listener->status().error().description;
    ListenerTesting::admitAnyIdentifiedPeer(*listener);
    listener->setDelegate(&delegate);
    listener->resume();
    ASSERT_TRUE(listener->status().ok());
  }

  RawPeer admittedPeer() {
    RawPeer p(dir.file("s"));
    EXPECT_TRUE(p.waitHello());
    return p;
  }

  // A fresh connection still gets an answer: the daemon is serving.
  void expectServing() {
    RawPeer p = admittedPeer();
    ASSERT_TRUE(p.sendRequest(1, "echo", values(std::int32_t{7})));
    auto r = p.readReply();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(std::get<std::int32_t>(r->values.at(0)), 7);
  }

  ScratchDir dir;
  std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
  AcceptingDelegate delegate{handler};
  std::unique_ptr<Listener> listener;
};

INSTANTIATE_TEST_SUITE_P(PidfdPaths, ListenerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Fallback" : "PeerPidfd";
                         });

TEST_P(ListenerTest, RepliesMatchRequestsAndCarryTheKernelStampedPeer) {
  RawPeer p = admittedPeer();
  EXPECT_EQ(delegate.offers.load(), 1);
  EXPECT_EQ(delegate.lastPeerPid.load(), ::getpid());
  // Two requests in one write come back in order, each under its own id.
  std::string both;
  std::vector<int> none;
  ASSERT_TRUE(wire::appendRequest(
      both, Request{11, "echo", values(StringValue{"a"}, std::uint16_t{80})}, none));
  ASSERT_TRUE(wire::appendRequest(both, Request{12, "peer", {}}, none));
  ASSERT_TRUE(p.sendBytes(both));
  auto first = p.readReply();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->id, 11u);
  EXPECT_EQ(std::get<StringValue>(first->values.at(0)).text, "a");
  EXPECT_EQ(std::get<std::uint16_t>(first->values.at(1)), 80);
  auto second = p.readReply();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->id, 12u);
  ASSERT_EQ(second->values.size(), 3u);
  EXPECT_EQ(std::get<std::int64_t>(second->values[0]), ::getpid());
  EXPECT_EQ(std::get<std::int64_t>(second->values[1]), ::geteuid());
  EXPECT_EQ(std::get<std::int64_t>(second->values[2]), ::getegid());
  // Outside a request there is no current peer.
  EXPECT_FALSE(currentConnectionPeer().has_value());
}

TEST_P(ListenerTest, EveryDescriptorTheListenerHoldsIsCloseOnExec) {
  RawPeer p = admittedPeer();
  ASSERT_TRUE(p.sendRequest(1, "echo"));
  ASSERT_TRUE(p.readReply().has_value());
  // Whatever this process opened was opened close-on-exec: the listener's socket, epoll,
  // eventfds, timerfd, connections, /proc directories, and ours.
  int checked = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 ||
        std::find(kInheritedFds.begin(), kInheritedFds.end(), fd) != kInheritedFds.end()) {
      continue;
    }
    ++checked;
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd;
  }
  EXPECT_GE(checked, 8);
}

TEST_P(ListenerTest, BadFramesEndOnlyTheirOwnConnection) {
  RawPeer bystander = admittedPeer();
  const int callsBefore = handler->calls.load();

  {  // Oversized: the header alone is enough to refuse it.
    RawPeer p = admittedPeer();
    const std::uint32_t huge = wire::kMaxRequestBody + 1;
    std::string header(4, '\0');
    for (int i = 0; i < 4; ++i) header[i] = static_cast<char>(huge >> (8 * i));
    ASSERT_TRUE(p.sendBytes(header));
    auto f = p.readFrame();
    ASSERT_TRUE(f.has_value());
    EXPECT_TRUE(std::holds_alternative<wire::ErrorFrame>(*f));
    EXPECT_TRUE(p.endsWithin());
  }
  {  // Unknown selector: the handler refuses it with a protocol error.
    RawPeer p = admittedPeer();
    ASSERT_TRUE(p.sendRequest(5, "noSuchSelector:"));
    auto f = p.readFrame();
    ASSERT_TRUE(f.has_value());
    ASSERT_TRUE(std::holds_alternative<wire::ErrorFrame>(*f));
    EXPECT_EQ(std::get<wire::ErrorFrame>(*f).id, 5u);
    EXPECT_TRUE(p.endsWithin());
  }
  {  // Truncated, then the peer goes away mid-request.
    RawPeer p = admittedPeer();
    std::string frame;
    std::vector<int> none;
    ASSERT_TRUE(wire::appendRequest(frame, Request{1, "echo", values(StringValue{"half"})}, none));
    ASSERT_TRUE(p.sendBytes(frame.substr(0, frame.size() / 2)));
    p.close();
  }
  // Only the unknown selector reached the handler; the bystander never noticed.
  EXPECT_TRUE(eventually([&] { return ListenerTesting::connectionCount(*listener) == 1; }));
  EXPECT_EQ(handler->calls.load(), callsBefore + 1);
  ASSERT_TRUE(bystander.sendRequest(2, "echo", values(true)));
  EXPECT_TRUE(bystander.readReply().has_value());
}

TEST_P(ListenerTest, ResponderDroppedOrFailedEndsTheConnectionWithAnError) {
  for (const char* sel : {"drop", "fail"}) {
    RawPeer p = admittedPeer();
    ASSERT_TRUE(p.sendRequest(77, sel));
    auto f = p.readFrame();
    ASSERT_TRUE(f.has_value()) << sel;
    ASSERT_TRUE(std::holds_alternative<wire::ErrorFrame>(*f)) << sel;
    EXPECT_EQ(std::get<wire::ErrorFrame>(*f).id, 77u);
    EXPECT_TRUE(p.endsWithin()) << sel;
  }
  expectServing();
}

TEST_P(ListenerTest, PeerThatSpeaksBeforeTheHelloIsRefused) {
  // A listener that has not started accepting yet: the bytes are surely there first.
  ScratchDir other;
  ListenerOptions options;
  options.socketPath = other.file("s");
  options.forcePidfdFallback = GetParam();
  Listener late("test", options);
  ListenerTesting::admitAnyIdentifiedPeer(late);
  late.setDelegate(&delegate);
  RawPeer eager(other.file("s"));
  ASSERT_TRUE(eager.connected());
  ASSERT_TRUE(eager.sendRequest(1, "echo"));
  late.resume();
  // Written before admission: no telling which program wrote it.
  EXPECT_TRUE(eager.endsWithin());
  EXPECT_EQ(handler->calls.load(), 0);
  EXPECT_EQ(delegate.offers.load(), 0);
  // A well-behaved peer of the same listener is served.
  RawPeer polite(other.file("s"));
  ASSERT_TRUE(polite.waitHello());
  ASSERT_TRUE(polite.sendRequest(2, "echo"));
  EXPECT_TRUE(polite.readReply().has_value());
}

TEST_P(ListenerTest, RefusedByTheDelegateMeansNoHelloAndNoCall) {
  delegate.accept = false;
  RawPeer p(dir.file("s"));
  EXPECT_FALSE(p.waitHello(2000));
  EXPECT_EQ(handler->calls.load(), 0);
  EXPECT_TRUE(eventually([&] { return ListenerTesting::connectionCount(*listener) == 0; }));
}

TEST_P(ListenerTest, BlockedBodiesDoNotStarveOtherConnections) {
  // More blocked connections than the pool starts with.
  constexpr int kBlocked = 6;
  std::vector<RawPeer> blocked;
  for (int i = 0; i < kBlocked; ++i) {
    blocked.push_back(admittedPeer());
    ASSERT_TRUE(blocked.back().sendRequest(1, "block"));
  }
  ASSERT_TRUE(eventually([&] { return handler->blocked.load() == kBlocked; }));
  // And a second request queued behind a blocked one waits its turn: order within a connection.
  ASSERT_TRUE(blocked[0].sendRequest(2, "echo", values(std::int32_t{2})));

  RawPeer pinger = admittedPeer();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(pinger.sendRequest(100 + i, "echo", values(true)));
    auto r = pinger.readReply(2000);
    ASSERT_TRUE(r.has_value()) << i;
    EXPECT_EQ(r->id, 100u + i);
  }
  EXPECT_FALSE(blocked[0].readReply(50).has_value());
  handler->gate.open();
  auto first = blocked[0].readReply();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->id, 1u);
  auto second = blocked[0].readReply();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->id, 2u);
  for (int i = 1; i < kBlocked; ++i) EXPECT_TRUE(blocked[i].readReply().has_value());
}

TEST_P(ListenerTest, DescriptorInAReplyArrivesOpenAndTheDaemonKeepsNone) {
  RawPeer p = admittedPeer();
  ASSERT_TRUE(p.sendRequest(1, "echo"));
  ASSERT_TRUE(p.readReply().has_value());
  const int before = openFdCount();
  ASSERT_TRUE(p.sendRequest(2, "pipe"));
  auto r = p.readReply();
  ASSERT_TRUE(r.has_value());
  UniqueFd fd = std::move(std::get<FdValue>(r->values.at(0)).fd);
  ASSERT_TRUE(fd.valid());
  EXPECT_EQ(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  struct stat st {};
  ASSERT_EQ(::fstat(fd.get(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // The pipe's write end was dropped by the daemon, so reading sees its end.
  char c;
  EXPECT_EQ(::read(fd.get(), &c, 1), 0);
  // Exactly one more descriptor in the whole process: ours. The daemon's copy is gone.
  EXPECT_EQ(openFdCount(), before + 1);
  fd.reset();
  EXPECT_EQ(openFdCount(), before);
}

TEST_P(ListenerTest, DescriptorsAClientAttachesAreClosedAtOnce) {
  RawPeer p = admittedPeer();
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  std::string frame;
  std::vector<int> none;
  ASSERT_TRUE(wire::appendRequest(frame, Request{1, "echo", values(true)}, none));
  ASSERT_TRUE(p.sendBytes(frame, {writeEnd.get()}));
  // The request itself carries no descriptor value, so it is served...
  ASSERT_TRUE(p.readReply().has_value());
  // ...and once we drop our write end, nobody holds one: the daemon kept no copy.
  writeEnd.reset();
  struct pollfd pfd {
    readEnd.get(), POLLIN, 0
  };
  ASSERT_EQ(::poll(&pfd, 1, 2000), 1);
  char c;
  EXPECT_EQ(::read(readEnd.get(), &c, 1), 0);
  // A request that claims a descriptor value is malformed.
  RawPeer q = admittedPeer();
  int other[2];
  ASSERT_EQ(::pipe2(other, O_CLOEXEC), 0);
  UniqueFd a(other[0]), b(other[1]);
  std::string withFd;
  ASSERT_TRUE(wire::appendRequest(
      withFd, Request{2, "echo", values(FdValue{UniqueFd(::dup(b.get()))})}, none));
  ASSERT_TRUE(q.sendBytes(withFd, {b.get()}));
  EXPECT_TRUE(q.endsWithin());
}

// A frame is one process's words: a second writer on the connection, admitted in its own right,
// cannot finish a frame the first one began. Only with pidfd stamps can a second writer be
// admitted at all (without them a newcomer is refused, as the admission tests show).
TEST_P(ListenerTest, AFrameBegunByOneWriterCannotBeFinishedByAnother) {
  if (GetParam()) GTEST_SKIP() << "a newcomer is never admitted without pidfd stamps";
  RawPeer p = admittedPeer();
  std::string frame;
  std::vector<int> none;
  ASSERT_TRUE(wire::appendRequest(frame, Request{1, "echo", values(true)}, none));
  int ready[2], go[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    ::close(go[1]);
    char c = 0;
    const bool ok = p.introduce() && ::write(ready[1], "r", 1) == 1 && ::read(go[0], &c, 1) == 1 &&
                    p.sendBytes(frame.substr(frame.size() / 2));
    [[maybe_unused]] const ssize_t end = ::read(go[0], &c, 1);  // alive until the parent is done
    ::_exit(ok ? 0 : 1);
  }
  UniqueFd readyIn(ready[0]), goOut(go[1]);
  ::close(ready[1]);
  ::close(go[0]);
  char c = 0;
  ASSERT_EQ(::read(readyIn.get(), &c, 1), 1);
  ASSERT_TRUE(p.sendBytes(frame.substr(0, frame.size() / 2)));
  ::usleep(50'000);  // the first half is in before the second
  ASSERT_EQ(::write(goOut.get(), "g", 1), 1);
  EXPECT_TRUE(p.endsWithin());
  EXPECT_EQ(handler->calls.load(), 0);
  goOut.reset();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
}

TEST_P(ListenerTest, RunningOutOfDescriptorsPausesAcceptingWithoutSpinning) {
#ifdef TAMSEL_SANITIZED
  // The sanitizers' own checks need descriptors (a pipe to probe memory), which this test takes
  // away from the whole process.
  GTEST_SKIP() << "not meaningful under sanitizers";
#endif
  RawPeer keep = admittedPeer();
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Our four client sockets first; then every free slot is filled: none is left for accepting.
  std::vector<RawPeer> waiting;
  for (int i = 0; i < 4; ++i)
    waiting.emplace_back(UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)));
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(openFdCount() + 64);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<UniqueFd> filler;
  for (;;) {
    UniqueFd f(::fcntl(0, F_DUPFD_CLOEXEC, 0));
    if (!f) break;
    filler.push_back(std::move(f));
  }
  for (auto& w : waiting) ASSERT_TRUE(w.connectTo(dir.file("s"))) << w.error;
  struct rusage ru0 {};
  ::getrusage(RUSAGE_SELF, &ru0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  struct rusage ru1 {};
  ::getrusage(RUSAGE_SELF, &ru1);
  auto cpuUs = [](const struct rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1'000'000L + r.ru_utime.tv_usec +
           r.ru_stime.tv_usec;
  };
  // Half a second out of descriptors costs little CPU: no busy accept loop.
  EXPECT_LT(cpuUs(ru1) - cpuUs(ru0), 100'000);
  // The established connection is still served meanwhile.
  ASSERT_TRUE(keep.sendRequest(1, "echo"));
  EXPECT_TRUE(keep.readReply().has_value());
  filler.clear();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  // Once descriptors are back, the waiting connections get in.
  for (auto& w : waiting) {
    ASSERT_TRUE(w.waitHello(3000));
    ASSERT_TRUE(w.sendRequest(2, "echo"));
    EXPECT_TRUE(w.readReply().has_value());
  }
}

TEST(ListenSocket, ReplacesAStaleSocketButNothingElse) {
  ScratchDir dir;
  const std::string path = dir.file("s");
  {
    auto first = bindListeningSocket(path);
    ASSERT_TRUE(first.ok());
  }  // closed, the file stays: a stale socket
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
  EXPECT_EQ(serviceSocketPath(kHelperIdentifier), kServiceSocketPath);
}

// In a child, so descriptor 3 and the environment are ours to arrange.
int activatedSocketChild(bool listening, bool ourPid) {
  UniqueFd s(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (listening) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;  // autobind to an abstract address
    if (::bind(s.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(sa_family_t)) != 0)
      return 10;
    if (::listen(s.get(), 4) != 0) return 11;
  }
  if (::dup2(s.get(), 3) != 3) return 12;
  const std::string pid = std::to_string(ourPid ? ::getpid() : ::getpid() + 1);
  ::setenv("LISTEN_PID", pid.c_str(), 1);
  ::setenv("LISTEN_FDS", "1", 1);
  UniqueFd taken = takeActivatedSocket();
  const bool expectTaken = listening && ourPid;
  if (taken.valid() != expectTaken) return 13;
  if (expectTaken) {
    if (taken.get() != 3) return 14;
    if ((::fcntl(3, F_GETFD) & FD_CLOEXEC) == 0) return 15;
    if (std::getenv("LISTEN_FDS") != nullptr) return 16;
    (void)taken.release();
  }
  return 0;
}

TEST(ListenSocket, TakesOnlyAListeningUnixSocketMeantForUs) {
  for (auto [listening, ourPid] : {std::pair{true, true}, {false, true}, {true, false}}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(activatedSocketChild(listening, ourPid));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << listening << ourPid;
  }
}

}  // namespace
}  // namespace tamsel::ipc
