// Installing and removing the command-line tool against the real daemon: the layout on disk, the
// log lines, a test user running the tool, refused payloads and overlapping calls. Two team-signed
// payloads take turns: the tool the image ships (A) and this test binary (B, twice the size).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <latch>

#include "cli/cli_paths.h"
#include "client/helper_client.h"
#include "platform/identity.h"
#include "platform/testing/reply_printers.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;
using client::HelperClient;
using StatusCall = Result<StatusReply> (HelperClient::*)();
constexpr StatusCall kReconcile = &HelperClient::reconcileInstalledCLI;
constexpr StatusCall kRemove = &HelperClient::removeInstalledCLI;

const std::string kPayload = "/Applications/Tamsel.app/Contents/Resources/bin/tamsel";
const std::string kTool(installedCLIPath), kStaging(stagingCLIPath), kLink(cliLinkPath);
const std::string kTamselDir = "/Library/Application Support/Tamsel";
const std::string kA = "/var/tmp/payload-A", kB = "/var/tmp/payload-B", kOther = "/var/tmp/other";
const std::string kPayloadLine = "info reconcileInstalledCLI: payload=" + kPayload;
const std::string kNothing = "tool=absent link=absent staging=absent";

std::string installed(const char* name, const char* mode = "755") {
  return "tool=" + std::string(name) + " " + mode + " 0:0 link=exact staging=absent";
}

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// By rename, so the daemon never reads a half-written payload.
void setPayload(const std::string& from) {
  fs::copy_file(from, kPayload + ".new", fs::copy_options::overwrite_existing);
  fs::rename(kPayload + ".new", kPayload);
}

std::string modeOwner(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "absent";
  char text[40];
  (void)std::snprintf(text, sizeof text, "%o %u:%u", st.st_mode & 07777, st.st_uid, st.st_gid);
  return text;
}

// Inode and change time of the entry itself: equal exactly when it was left alone.
std::pair<ino_t, std::int64_t> identity(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  return {st.st_ino, st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec};
}

// "tool=<A|B|other|absent>[ <mode> <owner>] link=<exact|link to ...|not a link|absent>
// staging=<present|absent>".
std::string layout() {
  std::string tool = "absent";
  if (fs::exists(fs::symlink_status(kTool))) {
    const std::string bytes = ScratchDir::read(kTool);
    tool = bytes == ScratchDir::read(kA) ? "A" : bytes == ScratchDir::read(kB) ? "B" : "other";
    tool += " " + modeOwner(kTool);
  }
  std::error_code notALink;
  const std::string text = fs::read_symlink(kLink, notALink).string();
  const std::string link = text == kTool                           ? "exact"
                           : !notALink                             ? "link to " + text
                           : fs::exists(fs::symlink_status(kLink)) ? "not a link"
                                                                   : "absent";
  return "tool=" + tool + " link=" + link +
         " staging=" + (fs::exists(fs::symlink_status(kStaging)) ? "present" : "absent");
}

// The reply; a call that did not complete is a failure with code -1.
StatusReply call(StatusCall operation, Result<HelperClient> helper = HelperClient::connect()) {
  if (!helper) return StatusReply::failure("connect: " + helper.error().description, -1);
  Result<StatusReply> reply = ((*helper).*operation)();
  return reply ? std::move(*reply) : StatusReply::failure(reply.error().description, -1);
}

class CLIInstallSystemTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!fs::exists(kA)) fs::copy_file(kPayload, kA);
    if (!fs::exists(kB)) fs::copy_file(std::string(kSignedSelf), kB);
    write(kOther, "keep");
  }
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    fs::remove(kLink);
    fs::remove_all(kTamselDir);
    fs::create_directories("/usr/local/bin");
    setPayload(kA);
  }

  // The daemon's entries since mark, as "<info|error> <message>".
  std::vector<std::string> lines(std::int64_t mark) const {
    std::vector<std::string> out;
    for (const StoredEntry& e : log_.entriesAfter(mark)) {
      out.push_back((e.level == 4 ? "error " : "info ") + e.message);
    }
    return out;
  }

  LogStoreReader log_;
};

TEST_F(CLIInstallSystemTest, InstallServesUsersLeavesACurrentToolAloneAndReplacesAChangedOne) {
  const std::int64_t mark = log_.mark();
  EXPECT_EQ(call(kReconcile), StatusReply::success());
  EXPECT_EQ(layout(), installed("A"));
  EXPECT_EQ(modeOwner(kTamselDir) + " " + modeOwner(kTamselDir + "/bin"), "755 0:0 755 0:0");
  const ProgramResult ping = runProgram({kLink, "ping"}, kAlice);
  EXPECT_EQ(ping.out, "YES\n") << ping.describe();

  // Equal bytes are current, whatever the mode: no copy, no rename.
  ASSERT_EQ(::chmod(kTool.c_str(), 0700), 0);
  const auto before = identity(kTool);
  EXPECT_EQ(call(kReconcile), StatusReply::success());
  EXPECT_EQ(identity(kTool), before);
  EXPECT_EQ(layout(), installed("A", "700"));
  EXPECT_EQ(lines(mark), (std::vector<std::string>{kPayloadLine, kPayloadLine,
                                                   "info reconcileInstalledCLI: already current"}));

  // Changed: replaced by rename over a leftover staging file, a reader of the old keeps all of it.
  std::ifstream oldTool(kTool, std::ios::binary);
  write(kStaging, "left by an interrupted call");
  setPayload(kB);
  EXPECT_EQ(call(kReconcile), StatusReply::success());
  EXPECT_EQ(layout(), installed("B"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(oldTool), {}), ScratchDir::read(kA));
  std::string sameSize = ScratchDir::read(kB);
  sameSize[sameSize.size() / 2] ^= 1;
  write(kTool, sameSize);
  EXPECT_EQ(call(kReconcile), StatusReply::success());
  EXPECT_EQ(layout(), installed("B"));
}

TEST_F(CLIInstallSystemTest, WhateverStandsAtTheCommandPathBecomesTheExactLink) {
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"a link elsewhere", [] { fs::create_symlink(kOther, kLink); }},
      {"a regular file", [] { write(kLink, "#!/bin/sh\n"); }},
      {"no /usr/local/bin", [] { fs::remove("/usr/local/bin"); }},
      {"the exact link", [] { fs::create_symlink(kTool, kLink); }},
  };
  for (const auto& [what, prepare] : cases) {
    SCOPED_TRACE(what);
    fs::remove(kLink);
    prepare();
    const auto before = identity(kLink);
    EXPECT_EQ(call(kReconcile), StatusReply::success());
    EXPECT_EQ(layout(), installed("A"));
    EXPECT_EQ(identity(kLink) == before, std::string(what) == "the exact link");
  }
  EXPECT_EQ(ScratchDir::read(kOther), "keep");
}

TEST_F(CLIInstallSystemTest, APayloadThatFailsItsCheckIsRefusedBeforeAnythingIsCreated) {
  setPayload(std::string(kClientCopy) + "modified");
  const std::string message = kPayload +
                              " failed code-identity verification (OSStatus -67061); refusing to "
                              "install it";
  const std::int64_t mark = log_.mark();
  EXPECT_EQ(call(kReconcile), StatusReply::failure(message, 0));
  EXPECT_EQ(lines(mark),
            (std::vector<std::string>{kPayloadLine, "error reconcileInstalledCLI: " + message}));
  EXPECT_FALSE(fs::exists(kTamselDir));
  EXPECT_EQ(layout(), kNothing);
}

TEST_F(CLIInstallSystemTest, RemovalTakesWhatIsThereTwiceInARowAndKeepsWhatIsNotItsOwn) {
  const auto removeTwice = [this](bool directoriesStay) {
    const std::int64_t mark = log_.mark();
    EXPECT_EQ(call(kRemove), StatusReply::success());
    EXPECT_EQ(call(kRemove), StatusReply::success());
    EXPECT_EQ(lines(mark), std::vector<std::string>(2, "info removeInstalledCLI"));
    EXPECT_EQ(layout(), kNothing);
    EXPECT_EQ(fs::exists(kTamselDir + "/bin"), directoriesStay);
    EXPECT_EQ(fs::exists(kTamselDir), directoriesStay);
  };
  // The tool, a staging file and a link elsewhere go, and what the link points to stays.
  ASSERT_EQ(call(kReconcile), StatusReply::success());
  write(kStaging, "left");
  fs::remove(kLink);
  fs::create_symlink(kOther, kLink);
  removeTwice(false);
  EXPECT_EQ(ScratchDir::read(kOther), "keep");
  // A foreign file beside the tool keeps it and the directories.
  ASSERT_EQ(call(kReconcile), StatusReply::success());
  write(kTamselDir + "/bin/notes", "mine");
  removeTwice(true);
  EXPECT_EQ(ScratchDir::read(kTamselDir + "/bin/notes"), "mine");
  EXPECT_TRUE(fs::is_directory("/usr/local/bin"));
}

// Two calls on two connections released together, fifty rounds of each pairing; the payload
// changes every round so that each reconcile installs. Plain run only: the confinement plays no
// part in the race.
TEST_F(CLIInstallSystemTest, OverlappingCallsNeverLeaveAPartialToolOrAStagingFile) {
  if (hardenedRun()) GTEST_SKIP() << "runs in the plain run only";
  for (StatusCall second : {kReconcile, kRemove}) {
    for (int round = 0; round < 50; ++round) {
      SCOPED_TRACE(round);
      setPayload(round % 2 == 0 ? kB : kA);
      std::latch start(2);
      auto run = [&start](StatusCall operation) {
        Result<HelperClient> helper = HelperClient::connect();
        start.arrive_and_wait();
        return call(operation, std::move(helper));
      };
      auto first = std::async(std::launch::async, run, kReconcile);
      EXPECT_EQ(run(second), StatusReply::success());
      EXPECT_EQ(first.get(), StatusReply::success());
      const std::string now = layout();
      EXPECT_TRUE(now == installed(round % 2 == 0 ? "B" : "A") ||
                  (second == kRemove && now == kNothing))
          << now;
    }
  }
}

}  // namespace
}  // namespace tamsel::systemtest
