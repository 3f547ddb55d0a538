// Installing and removing the command-line tool against the real daemon: the layout on disk,
// the log lines, what a test user can run afterwards, payloads the daemon must refuse, calls that
// overlap, and a daemon killed in the middle of installs. Two team-signed payloads take turns:
// the tool the image ships (A) and this test binary (B, much larger).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <latch>
#include <random>
#include <thread>

#include "cli/cli_paths.h"
#include "client/helper_client.h"
#include "platform/identity.h"
#include "platform/testing/reply_printers.h"
#include "sandbox/tests/support/daemon_control.h"
#include "sandbox/tests/support/log_store_reader.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;
using client::HelperClient;

const std::string kPayload = "/Applications/Tamsel.app/Contents/Resources/bin/tamsel";
const std::string kTool(installedCLIPath);
const std::string kStaging(stagingCLIPath);
const std::string kLink(cliLinkPath);
const std::string kTamselDir = "/Library/Application Support/Tamsel";
const std::string kSaved = "/var/tmp/cli-install-test";
const std::string kPayloadA = kSaved + "/A";
const std::string kPayloadB = kSaved + "/B";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The payload changes by rename, so the daemon never reads a half-written one.
void setPayload(const std::string& from) {
  fs::copy_file(from, kPayload + ".new", fs::copy_options::overwrite_existing);
  fs::rename(kPayload + ".new", kPayload);
}

ino_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// "755 0:0" for mode and owner of path (links followed); "absent".
std::string modeOwner(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "absent";
  char text[64];
  std::snprintf(text, sizeof text, "%o %u:%u", st.st_mode & 07777, st.st_uid, st.st_gid);
  return text;
}

// What stands at the tool's three paths: "tool=<A|B|other|absent> <mode owner> link=<...>
// staging=<present|absent>".
std::string layout() {
  std::string tool = "absent";
  struct stat st {};
  if (::lstat(kTool.c_str(), &st) == 0) {
    const std::string bytes = readFile(kTool);
    tool = bytes == readFile(kPayloadA) ? "A" : bytes == readFile(kPayloadB) ? "B" : "other";
    tool += " " + modeOwner(kTool);
  }
  std::string link = "absent";
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(kLink))) {
    const std::string text = fs::read_symlink(kLink, ec).string();
    link = text == kTool ? "exact" : "link to " + text;
  } else if (fs::exists(fs::symlink_status(kLink))) {
    link = "not a link";
  }
  return "tool=" + tool + " link=" + link +
         " staging=" + (fs::exists(fs::symlink_status(kStaging)) ? "present" : "absent");
}

using StatusCall = Result<StatusReply> (HelperClient::*)();
constexpr StatusCall kReconcile = &HelperClient::reconcileInstalledCLI;
constexpr StatusCall kRemove = &HelperClient::removeInstalledCLI;

// The reply; a call that did not complete comes back as a failure with code -1.
StatusReply call(Result<HelperClient>& helper, StatusCall operation) {
  if (!helper) return StatusReply::failure("connect: " + helper.error().description, -1);
  Result<StatusReply> reply = ((*helper).*operation)();
  if (!reply) return StatusReply::failure("call: " + reply.error().description, -1);
  return std::move(*reply);
}

StatusReply reconcile() {
  Result<HelperClient> helper = HelperClient::connect();
  return call(helper, kReconcile);
}
StatusReply remove() {
  Result<HelperClient> helper = HelperClient::connect();
  return call(helper, kRemove);
}

// "level message" of the daemon's entries after mark.
std::vector<std::string> daemonLines(const LogStoreReader& log, std::int64_t mark) {
  std::vector<std::string> lines;
  for (const StoredEntry& e : log.entriesAfter(mark)) {
    if (e.subsystem == kHelperIdentifier) {
      lines.push_back((e.level == 4 ? "error " : "info ") + e.message);
    }
  }
  return lines;
}

const std::string kPayloadLine = "info reconcileInstalledCLI: payload=" + kPayload;
const std::string kInstalled = "tool=A 755 0:0 link=exact staging=absent";
const std::string kNothing = "tool=absent link=absent staging=absent";

class CLIInstallSystemTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fs::create_directories(kSaved);
    if (!fs::exists(kPayloadA)) fs::copy_file(kPayload, kPayloadA);
    if (!fs::exists(kPayloadB)) fs::copy_file(std::string(kSignedSelf), kPayloadB);
  }
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    fs::remove(kLink);
    fs::remove_all(kTamselDir);
    fs::create_directories("/usr/local/bin");
    setPayload(kPayloadA);
  }

  LogStoreReader log_{std::string(kLogStorePath)};
};

TEST_F(CLIInstallSystemTest, AFreshInstallGivesUsersAWorkingTamselCommand) {
  const std::int64_t mark = log_.mark();
  EXPECT_EQ(reconcile(), StatusReply::success());
  EXPECT_EQ(layout(), kInstalled);
  EXPECT_EQ(modeOwner(kTamselDir), "755 0:0");
  EXPECT_EQ(modeOwner(kTamselDir + "/bin"), "755 0:0");
  EXPECT_EQ(daemonLines(log_, mark), std::vector<std::string>{kPayloadLine});

  const ProgramResult ping = runProgram({kLink, "ping"}, kAlice);
  EXPECT_EQ(ping.status, 0) << ping.describe();
  EXPECT_EQ(ping.out, "YES\n");
}

TEST_F(CLIInstallSystemTest, ACurrentToolIsLeftAsItIsModeIncluded) {
  ASSERT_EQ(reconcile(), StatusReply::success());
  ASSERT_EQ(::chmod(kTool.c_str(), 0700), 0);
  const ino_t before = inodeOf(kTool);
  const std::int64_t mark = log_.mark();
  EXPECT_EQ(reconcile(), StatusReply::success());
  EXPECT_EQ(inodeOf(kTool), before);
  EXPECT_EQ(layout(), "tool=A 700 0:0 link=exact staging=absent");
  EXPECT_EQ(
      daemonLines(log_, mark),
      (std::vector<std::string>{kPayloadLine, "info reconcileInstalledCLI: already current"}));
}

TEST_F(CLIInstallSystemTest, AChangedToolIsReplacedByRenameOverALeftoverStagingFile) {
  ASSERT_EQ(reconcile(), StatusReply::success());
  std::ifstream oldTool(kTool, std::ios::binary);  // a reader of the old file keeps all of it
  writeFile(kStaging, "left by an interrupted call");

  setPayload(kPayloadB);
  EXPECT_EQ(reconcile(), StatusReply::success());
  EXPECT_EQ(layout(), "tool=B 755 0:0 link=exact staging=absent");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(oldTool), {}), readFile(kPayloadA));

  // Same size, one byte different.
  std::string altered = readFile(kPayloadB);
  altered[altered.size() / 2] ^= 1;
  writeFile(kTool, altered);
  EXPECT_EQ(reconcile(), StatusReply::success());
  EXPECT_EQ(layout(), "tool=B 755 0:0 link=exact staging=absent");
}

TEST_F(CLIInstallSystemTest, WhateverStandsAtTheCommandPathBecomesTheExactLink) {
  ASSERT_EQ(reconcile(), StatusReply::success());
  writeFile(kSaved + "/target", "keep");
  const struct {
    const char* what;
    std::function<void()> prepare;
  } cases[] = {
      {"a link elsewhere", [] { fs::create_symlink(kSaved + "/target", kLink); }},
      {"a dangling link", [] { fs::create_symlink("/nonexistent/tamsel", kLink); }},
      {"a relative link to the tool",
       [] { fs::create_symlink("../../../Library/Application Support/Tamsel/bin/tamsel", kLink); }},
      {"a regular file", [] { writeFile(kLink, "#!/bin/sh\n"); }},
      {"no /usr/local/bin", [] { fs::remove("/usr/local/bin"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(kLink);
    c.prepare();
    EXPECT_EQ(reconcile(), StatusReply::success());
    EXPECT_EQ(layout(), kInstalled);
  }
  EXPECT_EQ(readFile(kSaved + "/target"), "keep");
  // The exact link itself is not touched.
  const ino_t link = inodeOf(kLink);
  EXPECT_EQ(reconcile(), StatusReply::success());
  EXPECT_EQ(inodeOf(kLink), link);
}

TEST_F(CLIInstallSystemTest, APayloadThatFailsItsCheckIsRefusedBeforeAnythingIsCreated) {
  const struct {
    ClientCopy copy;
    const char* status;
  } cases[] = {
      {kUnsignedClient, "-67062"}, {kModifiedClient, "-67061"}, {kOtherTeamClient, "-67050"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.copy.what);
    setPayload(c.copy.path());
    const std::string message = kPayload + " failed code-identity verification (OSStatus " +
                                c.status + "); refusing to install it";
    const std::int64_t mark = log_.mark();
    EXPECT_EQ(reconcile(), StatusReply::failure(message, 0));
    EXPECT_FALSE(fs::exists(kTamselDir));
    EXPECT_EQ(layout(), kNothing);
    EXPECT_EQ(daemonLines(log_, mark),
              (std::vector<std::string>{kPayloadLine, "error reconcileInstalledCLI: " + message}));
  }
}

TEST_F(CLIInstallSystemTest, ADaemonStartedOutsideTheAppBundleFindsNoPayload) {
  const std::string elsewhere = "/Users/alice/Downloads/Tamsel.app/Contents";
  fs::create_directories(elsewhere + "/MacOS");
  fs::create_directories(elsewhere + "/Resources/bin");
  fs::copy_file(std::string(kDaemonExecutable), elsewhere + "/MacOS/TamselHelper");
  fs::copy_file(kPayloadA, elsewhere + "/Resources/bin/tamsel");

  ASSERT_TRUE(stopDaemon(SIGTERM));
  ASSERT_TRUE(startDaemon(elsewhere + "/MacOS/TamselHelper"));
  const std::int64_t mark = log_.mark();
  const StatusReply reply = reconcile();
  const std::vector<std::string> lines = daemonLines(log_, mark);
  ASSERT_TRUE(stopDaemon(SIGTERM));
  ASSERT_TRUE(startDaemon());
  fs::remove_all("/Users/alice/Downloads");

  EXPECT_EQ(reply,
            StatusReply::failure("Could not locate the bundled tamsel CLI in the app bundle", 0));
  EXPECT_TRUE(lines.empty()) << lines.front();
  EXPECT_FALSE(fs::exists(kTamselDir));
  EXPECT_EQ(layout(), kNothing);
}

TEST_F(CLIInstallSystemTest, RemovalTakesWhatIsThereAndKeepsWhatIsNotItsOwn) {
  writeFile(kSaved + "/target", "keep");
  const struct {
    const char* what;
    std::function<void()> prepare;
    bool directoriesStay;
  } cases[] = {
      {"nothing installed", [] {}, false},
      {"an installation with a leftover staging file",
       [] {
         ASSERT_EQ(reconcile(), StatusReply::success());
         writeFile(kStaging, "left");
       },
       false},
      {"a dangling link", [] { fs::create_symlink("/nonexistent/tamsel", kLink); }, false},
      {"a link elsewhere", [] { fs::create_symlink(kSaved + "/target", kLink); }, false},
      {"a foreign file beside the tool",
       [] {
         ASSERT_EQ(reconcile(), StatusReply::success());
         writeFile(kTamselDir + "/bin/notes", "mine");
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    c.prepare();
    for (int time = 0; time < 2; ++time) {
      const std::int64_t mark = log_.mark();
      EXPECT_EQ(remove(), StatusReply::success());
      EXPECT_EQ(daemonLines(log_, mark), std::vector<std::string>{"info removeInstalledCLI"});
    }
    EXPECT_EQ(layout(), kNothing);
    EXPECT_EQ(fs::exists(kTamselDir + "/bin"), c.directoriesStay);
    EXPECT_EQ(fs::exists(kTamselDir), c.directoriesStay);
    EXPECT_TRUE(fs::is_directory("/usr/local/bin"));
  }
  EXPECT_EQ(readFile(kSaved + "/target"), "keep");
  EXPECT_EQ(readFile(kTamselDir + "/bin/notes"), "mine");
}

// Two calls on two connections, released together, fifty times for each pairing; the payload
// changes every round so that every reconcile installs.
TEST_F(CLIInstallSystemTest, OverlappingCallsNeverLeaveAPartialToolOrStagingFile) {
  for (bool againstRemove : {false, true}) {
    for (int round = 0; round < 50; ++round) {
      SCOPED_TRACE(std::string(againstRemove ? "remove" : "reconcile") + " round " +
                   std::to_string(round));
      const std::string payload = round % 2 == 0 ? kPayloadB : kPayloadA;
      setPayload(payload);
      std::latch start(2);
      auto run = [&start](StatusCall operation) {
        Result<HelperClient> helper = HelperClient::connect();
        start.arrive_and_wait();
        return call(helper, operation);
      };
      auto first = std::async(std::launch::async, run, kReconcile);
      auto second = std::async(std::launch::async, run, againstRemove ? kRemove : kReconcile);
      EXPECT_EQ(first.get(), StatusReply::success());
      EXPECT_EQ(second.get(), StatusReply::success());
      const std::string name = payload == kPayloadA ? "A" : "B";
      const std::string installed = "tool=" + name + " 755 0:0 link=exact staging=absent";
      const std::string now = layout();
      if (againstRemove) {
        EXPECT_TRUE(now == installed || now == kNothing) << now;
      } else {
        EXPECT_EQ(now, installed);
      }
    }
  }
}

// The daemon dies by SIGKILL at a random moment of an install; the tool is then the old or the
// new payload whole, and the next call (of a new daemon) completes the install.
TEST_F(CLIInstallSystemTest, ADaemonKilledDuringInstallsLeavesTheOldToolOrTheNew) {
  using Clock = std::chrono::steady_clock;
  setPayload(kPayloadB);
  const Clock::time_point t0 = Clock::now();
  ASSERT_EQ(reconcile(), StatusReply::success());
  const auto installTime =
      std::chrono::duration_cast<std::chrono::microseconds>((Clock::now() - t0) * 3 / 2);

  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string payload = round % 2 == 0 ? kPayloadA : kPayloadB;
    setPayload(payload);
    Result<HelperClient> helper = HelperClient::connect();
    ASSERT_TRUE(helper.ok()) << helper.error().description;
    auto pending =
        std::async(std::launch::async, [&helper] { return helper->reconcileInstalledCLI().ok(); });
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<std::int64_t>(0, installTime.count())(random)));
    ASSERT_TRUE(stopDaemon(SIGKILL));
    pending.get();

    const std::string now = layout();
    EXPECT_TRUE(now.starts_with("tool=A 755 0:0 ") || now.starts_with("tool=B 755 0:0 ")) << now;
    ASSERT_TRUE(startDaemon());
    EXPECT_EQ(reconcile(), StatusReply::success());
    EXPECT_EQ(layout(), "tool=" + std::string(payload == kPayloadA ? "A" : "B") +
                            " 755 0:0 link=exact staging=absent");
  }
}

}  // namespace
}  // namespace tamsel::systemtest
