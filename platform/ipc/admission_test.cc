// Admission by code signature, tried with real client processes: copies of one small client,
// unsigned and signed at build time by each identity of the test PKI.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/ipc/ipc_test_support.h"
#include "platform/ipc/listener_testing.h"
#include "service/code_signing_requirement.h"

extern char** environ;

namespace tamsel::ipc {
namespace {

using namespace testing;

constexpr int kServed = 0;
constexpr int kRefused = 3;

// A client process with its standard input and output on pipes.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    toChild_.reset(in[1]);
    fromChild_.reset(out[0]);
    UniqueFd childIn(in[0]), childOut(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childIn.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, childOut.get(), 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }

  std::string readLine() {
    std::string line;
    char c;
    while (::read(fromChild_.get(), &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  void closeInput() { toChild_.reset(); }
  // The exit status, or -1 when it did not exit normally.
  int wait() {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd toChild_, fromChild_;
};

int run(std::vector<std::string> args) {
  Child child(std::move(args));
  return child.wait();
}

std::string copyOf(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(to, std::ios::binary) << bytes;
  ::chmod(to.c_str(), 0755);
  return to;
}

// Changes one byte of a marker string, leaving the program runnable.
bool patchMarker(const std::string& path) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto at = bytes.find("PATCH-ME-AFTER-SIGNING");
  if (at == std::string::npos) return false;
  f.seekp(static_cast<std::streamoff>(at));
  f.put('X');
  return f.good();
}

class AdmissionTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { start(codeSigningRequirement()); }

  void start(std::optional<std::string> requirement, ListenerOptions extra = {},
             bool resume = true) {
    listener.reset();
    extra.socketPath = dir.file("s");
    extra.anchorPath = TAMSEL_TEST_PKI_ROOT;
    extra.forcePidfdFallback = GetParam();
    listener = std::make_unique<Listener>("test", extra);
    ASSERT_TRUE(listener->status().ok());
    if (requirement) listener->setConnectionCodeSigningRequirement(*requirement);
    listener->setDelegate(&delegate);
    if (resume) listener->resume();
  }

  int ping(const std::string& exe) { return run({exe, "ping", dir.file("s")}); }

  ScratchDir dir;
  std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
  AcceptingDelegate delegate{handler};
  std::unique_ptr<Listener> listener;
};

INSTANTIATE_TEST_SUITE_P(PidfdPaths, AdmissionTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Fallback" : "PeerPidfd";
                         });

TEST_P(AdmissionTest, OnlyTheTeamSignedClientIsEverServed) {
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kServed);
  EXPECT_EQ(handler->calls.load(), 1);
  EXPECT_EQ(delegate.offers.load(), 1);

  const std::string modified = copyOf(IPC_TEST_CLIENT_TEAM, dir.file("modified"));
  ASSERT_TRUE(patchMarker(modified));
  for (const std::string& exe :
       {std::string(IPC_TEST_CLIENT_UNSIGNED), std::string(IPC_TEST_CLIENT_OTHERTEAM),
        std::string(IPC_TEST_CLIENT_ROGUE), modified}) {
    EXPECT_EQ(ping(exe), kRefused) << exe;
  }
  // Not one request of theirs reached the handler, nor a connection the delegate.
  EXPECT_EQ(handler->calls.load(), 1);
  EXPECT_EQ(delegate.offers.load(), 1);
  EXPECT_EQ(ListenerTesting::connectionCount(*listener), 0u);
  // And the team client is still served after them.
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kServed);
}

TEST_P(AdmissionTest, AnUnsignedProgramOnAnInheritedConnectionIsRefused) {
  const std::string sock = dir.file("s");
  // The signed parent is served once; its child execs the unsigned build and writes on the
  // same connection: refused, and the connection is gone for the parent too. Whether the child
  // introduces itself first or just writes its request makes no difference.
  EXPECT_EQ(run({IPC_TEST_CLIENT_TEAM, "inherit", sock, IPC_TEST_CLIENT_UNSIGNED}), kRefused);
  EXPECT_EQ(handler->calls.load(), 1);
  EXPECT_EQ(run({IPC_TEST_CLIENT_TEAM, "inherit", sock, IPC_TEST_CLIENT_UNSIGNED, "send-fd-raw"}),
            kRefused);
  EXPECT_EQ(handler->calls.load(), 2);
  // A child running another signed-but-foreign program fares no better.
  EXPECT_EQ(run({IPC_TEST_CLIENT_TEAM, "inherit", sock, IPC_TEST_CLIENT_OTHERTEAM}), kRefused);
  EXPECT_EQ(handler->calls.load(), 3);
  // Even the signed program, speaking on a connection it did not open without introducing
  // itself: its bytes cannot be attributed exactly, so they are refused.
  EXPECT_EQ(run({IPC_TEST_CLIENT_TEAM, "inherit", sock, IPC_TEST_CLIENT_TEAM, "send-fd-raw"}),
            kRefused);
  EXPECT_EQ(handler->calls.load(), 4);
  // Introduced, a child still running the signed program (forked, or exec'd afresh) is
  // admitted, its request is attributed to it (the client checks the pid it gets back), and the
  // parent goes on being served. Without pidfd stamps a newcomer cannot be identified at all.
  const int newcomer = GetParam() ? kRefused : kServed + 100;
  EXPECT_EQ(run({IPC_TEST_CLIENT_TEAM, "fork-send", sock}), newcomer);
  EXPECT_EQ(handler->calls.load(), GetParam() ? 5 : 7);
  EXPECT_EQ(run({IPC_TEST_CLIENT_TEAM, "inherit", sock, IPC_TEST_CLIENT_TEAM}), newcomer);
  EXPECT_EQ(handler->calls.load(), GetParam() ? 6 : 10);
}

TEST_P(AdmissionTest, AnAdmittedProcessThatExecsAnotherProgramIsSomeoneElse) {
  // Same process, same pid, but now running the unsigned build.
  EXPECT_EQ(run({IPC_TEST_CLIENT_TEAM, "exec-send", dir.file("s"), IPC_TEST_CLIENT_UNSIGNED}),
            kRefused);
  EXPECT_EQ(handler->calls.load(), 1);
  // Exec'ing a signed program (here itself) keeps it admitted.
  EXPECT_EQ(run({IPC_TEST_CLIENT_TEAM, "exec-send", dir.file("s"), IPC_TEST_CLIENT_TEAM}), kServed);
  EXPECT_EQ(handler->calls.load(), 3);
}

TEST_P(AdmissionTest, BytesWrittenBeforeAnExecIntoASignedProgramAreRefused) {
  // Not accepting yet: the unsigned program writes its request, then becomes the signed one.
  start(codeSigningRequirement(), {}, /*resume=*/false);
  Child child({IPC_TEST_CLIENT_UNSIGNED, "send-then-exec", dir.file("s"), IPC_TEST_CLIENT_TEAM});
  ASSERT_EQ(child.readLine(), "waiting");
  // Now the peer's executable is signed, but the bytes queued were written before: refused.
  listener->resume();
  EXPECT_EQ(child.wait(), kRefused);
  EXPECT_EQ(handler->calls.load(), 0);
  EXPECT_EQ(delegate.offers.load(), 0);
}

TEST_P(AdmissionTest, WarmConnectionsCostNoSecondSignatureCheck) {
  for (int i = 0; i < 5; ++i) ASSERT_EQ(ping(IPC_TEST_CLIENT_TEAM), kServed);
  EXPECT_EQ(ListenerTesting::verificationsRun(*listener), 1u);
  // A refused program is remembered too.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ping(IPC_TEST_CLIENT_OTHERTEAM), kRefused);
  EXPECT_EQ(ListenerTesting::verificationsRun(*listener), 2u);
}

TEST_P(AdmissionTest, AFileChangedAfterItsVerdictIsCheckedAgain) {
  const std::string exe = copyOf(IPC_TEST_CLIENT_TEAM, dir.file("client"));
  ASSERT_EQ(ping(exe), kServed);
  // Same inode, new contents: the cached verdict must not apply.
  ASSERT_TRUE(patchMarker(exe));
  EXPECT_EQ(ping(exe), kRefused);
  EXPECT_EQ(handler->calls.load(), 1);
}

TEST_P(AdmissionTest, WithoutARequirementNobodyIsAdmitted) {
  start(std::nullopt);
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kRefused);
  start("this is not a requirement (");
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kRefused);
  EXPECT_EQ(handler->calls.load(), 0);
}

TEST_P(AdmissionTest, PeersWaitingTooLongForTheirVerdictAreDropped) {
  ListenerOptions options;
  options.unadmittedIdleTimeoutMs = 1;
  start(codeSigningRequirement(), options);
  // The cold check cannot finish within a millisecond: refused, not left hanging.
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kRefused);
  EXPECT_EQ(handler->calls.load(), 0);
}

}  // namespace
}  // namespace tamsel::ipc
