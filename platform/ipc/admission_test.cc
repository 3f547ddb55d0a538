// Admission by code signature, tried with real client processes: copies of one small client,
// unsigned and signed at build time by each identity of the test PKI.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/ipc/ipc_test_support.h"
#include "platform/ipc/listener_testing.h"
#include "service/code_signing_requirement.h"

namespace tamsel::ipc {
namespace {

using namespace testing;

constexpr int kServed = 0;
constexpr int kRefused = 3;
constexpr int kServedAndParentToo = 100;  // the inherit modes: the parent is still served after

int exitCode(int status) {
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string command(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) line += "'" + a + "' ";
  return line;
}

int run(const std::vector<std::string>& args) {
  return exitCode(std::system(command(args).c_str()));
}

// A copy of a program, with one byte of a marker string changed if patched (still runnable).
std::string copyOf(const std::string& from, const std::string& to, bool patched) {
  std::ifstream in(from, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (patched) bytes[bytes.find("PATCH-ME-AFTER-SIGNING")] = 'X';
  std::ofstream(to, std::ios::binary) << bytes;
  ::chmod(to.c_str(), 0755);
  return to;
}

class AdmissionTest : public ::testing::Test {
 protected:
  void SetUp() override { start(codeSigningRequirement()); }

  void start(std::optional<std::string> requirement, bool fallback = false, bool resume = true,
             int waitMs = 0) {
    listener.reset();
    listener = std::make_unique<Listener>(
        "test", ListenerOptions{dir.file("s"), TAMSEL_TEST_PKI_ROOT, fallback, waitMs});
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

TEST_F(AdmissionTest, OnlyTheTeamSignedClientIsEverServed) {
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kServed);
  const std::string modified = copyOf(IPC_TEST_CLIENT_TEAM, dir.file("modified"), true);
  for (const std::string exe : {IPC_TEST_CLIENT_UNSIGNED, IPC_TEST_CLIENT_OTHERTEAM,
                                IPC_TEST_CLIENT_ROGUE, modified.c_str()}) {
    EXPECT_EQ(ping(exe), kRefused) << exe;
  }
  // Not one request of theirs reached the handler, nor a connection the delegate.
  EXPECT_EQ(handler->calls.load(), 1);
  EXPECT_EQ(delegate.offers.load(), 1);
  EXPECT_EQ(ListenerTesting::connectionCount(*listener), 0u);
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kServed);
}

// The signed parent is served, then another process (or the same one after an exec) speaks on
// its connection. Only the signed program, introduced, is served; a refusal ends the connection
// for the parent too. Without pidfd stamps a newcomer cannot be identified at all.
TEST_F(AdmissionTest, WhoeverSpeaksOnAnAdmittedConnectionIsCheckedAgain) {
  const std::string sock = dir.file("s"), team = IPC_TEST_CLIENT_TEAM;
  struct Case {
    std::vector<std::string> args;
    int code;
    bool newcomer;  // refused without pidfd stamps
  };
  const Case cases[] = {
      {{team, "inherit", sock, IPC_TEST_CLIENT_UNSIGNED}, kRefused, false},
      {{team, "inherit", sock, IPC_TEST_CLIENT_UNSIGNED, "send-fd-raw"}, kRefused, false},
      {{team, "inherit", sock, IPC_TEST_CLIENT_OTHERTEAM}, kRefused, false},
      // Not introduced: its bytes cannot be attributed exactly.
      {{team, "inherit", sock, team, "send-fd-raw"}, kRefused, false},
      {{team, "fork-send", sock}, kServedAndParentToo, true},
      {{team, "inherit", sock, team}, kServedAndParentToo, true},
      // Same process, same pid, another program.
      {{team, "exec-send", sock, IPC_TEST_CLIENT_UNSIGNED}, kRefused, false},
      {{team, "exec-send", sock, team}, kServed, false},
  };
  for (bool fallback : {false, true}) {
    start(codeSigningRequirement(), fallback);
    for (const Case& c : cases) {
      const int calls = handler->calls.load();
      const int code = fallback && c.newcomer ? kRefused : c.code;
      EXPECT_EQ(run(c.args), code) << command(c.args) << fallback;
      // Each request served is the parent's, before and after, and the child's.
      EXPECT_EQ(handler->calls.load() - calls, code == kRefused  ? 1
                                               : code == kServed ? 2
                                                                 : 3)
          << command(c.args) << fallback;
    }
  }
}

TEST_F(AdmissionTest, BytesWrittenBeforeAnExecIntoASignedProgramAreRefused) {
  // Not accepting yet: the unsigned program writes its request, then becomes the signed one.
  start(codeSigningRequirement(), false, /*resume=*/false);
  FILE* child = ::popen(
      command({IPC_TEST_CLIENT_UNSIGNED, "send-then-exec", dir.file("s"), IPC_TEST_CLIENT_TEAM})
          .c_str(),
      "r");
  ASSERT_NE(child, nullptr);
  char line[16] = {};
  EXPECT_NE(std::fgets(line, sizeof line, child), nullptr);
  EXPECT_STREQ(line, "waiting\n");
  listener->resume();
  EXPECT_EQ(exitCode(::pclose(child)), kRefused);
  EXPECT_EQ(delegate.offers.load(), 0);
}

TEST_F(AdmissionTest, AVerdictIsRememberedUntilTheFileChanges) {
  const std::string exe = copyOf(IPC_TEST_CLIENT_TEAM, dir.file("client"), false);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ping(exe), kServed);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ping(IPC_TEST_CLIENT_OTHERTEAM), kRefused);
  EXPECT_EQ(ListenerTesting::verificationsRun(*listener), 2u);
  // Same inode, new contents: the cached verdict must not apply.
  copyOf(IPC_TEST_CLIENT_TEAM, exe, true);
  EXPECT_EQ(ping(exe), kRefused);
  EXPECT_EQ(handler->calls.load(), 3);
}

TEST_F(AdmissionTest, WithoutARequirementOrTimeNobodyIsAdmitted) {
  start(std::nullopt);
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kRefused);
  start("this is not a requirement (");
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kRefused);
  // The cold check cannot finish within a millisecond: refused, not left hanging.
  start(codeSigningRequirement(), false, true, /*waitMs=*/1);
  EXPECT_EQ(ping(IPC_TEST_CLIENT_TEAM), kRefused);
  EXPECT_EQ(handler->calls.load(), 0);
}

}  // namespace
}  // namespace tamsel::ipc
