#include "datadir/data_dir_ownership.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/testing/reply_printers.h"
#include "platform/testing/scratch_dir.h"
#include "platform/testing/test_sink.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kTestUid = 4242;

// alice's home in a scratch tree; the tool is a script that records its arguments.
class ChownDataDir : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(alice_ + "/data/sub");
    // Stays in the home, but an absolute link cannot be followed beneath it.
    fs::create_symlink(alice_ + "/data", alice_ + "/absolute");
    script("printf '%s\\n' \"$@\" > " + argsFile_);
    environment_.connectingHome = [this](const ConnectingPeer&) { return home_; };
    environment_.userEntry = [](std::uint32_t uid) -> std::optional<UserRecord> {
      if (uid == kTestUid) return UserRecord{"/home/test", 4343};
      return std::nullopt;
    };
  }

  void script(const std::string& body) {
    const std::string tool = scratch_.file("tool");
    std::ofstream(tool) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(tool, fs::perms::owner_all);
    environment_.chownTool = tool;
  }

  StatusReply chown(const std::string& path, std::int64_t toUid) {
    return chownTamselDataDirIn(environment_, logger_, std::nullopt, path, toUid);
  }

  std::shared_ptr<log::TestSink> sink_ = std::make_shared<log::TestSink>();
  log::Logger logger_{"app.tamsel.TamselHelper", "helper", sink_};
  ChownEnvironment environment_;
  ScratchDir scratch_{"datadir_test"};
  std::string alice_ = scratch_.file("home/alice");
  std::string argsFile_ = scratch_.file("args");
  std::optional<std::string> home_ = alice_;
};

TEST_F(ChownDataDir, RunsTheToolWithExactlyThreeArgumentsOnTheStandardisedPath) {
  home_ = alice_ + "/";
  EXPECT_EQ(chown(alice_ + "/./data//sub/", kTestUid), StatusReply::success());
  EXPECT_EQ(ScratchDir::read(argsFile_), "-R\n4242:4343\n" + alice_ + "/data/sub\n");
}

TEST_F(ChownDataDir, RefusalsRunNothing) {
  const std::string outside = "chownTamselDataDir: path must live under the connecting user's home";
  const struct {
    std::optional<std::string> home;
    std::string path;
    std::int64_t uid;
    StatusReply reply;
  } cases[] = {
      {alice_, alice_ + "/../bob/data", kTestUid, StatusReply::failure(outside)},
      {alice_, alice_ + "/absolute/sub", kTestUid, StatusReply::failure(outside)},
      {"/", "/etc", 0, StatusReply::failure(outside)},
      {std::nullopt, alice_ + "/data", kTestUid,
       StatusReply::failure("chownTamselDataDir: could not resolve the connecting user's home")},
      {alice_, alice_ + "/data", 501,
       StatusReply::failure("chownTamselDataDir: uid 501 not found in passwd")},
      // Not truncated to 32 bits, which would name the test user.
      {alice_, alice_ + "/data", 4294967296LL + kTestUid,
       StatusReply::failure("chownTamselDataDir: uid 4294971538 is not a valid user id")},
      {alice_, alice_ + "/data", -1,
       StatusReply::failure("chownTamselDataDir: uid -1 is not a valid user id")},
      // Nothing at the path is success, decided before the user id is looked at.
      {alice_, alice_ + "/missing/deeper", -1, StatusReply::success()},
  };
  for (const auto& c : cases) {
    home_ = c.home;
    EXPECT_EQ(chown(c.path, c.uid), c.reply) << c.path;
  }
  EXPECT_FALSE(fs::exists(argsFile_));
}

TEST_F(ChownDataDir, ToolFailuresAreReported) {
  script("printf 'chown: cannot access x: Permission denied\\n' >&2; exit 1");
  EXPECT_EQ(
      chown(alice_ + "/data", kTestUid),
      StatusReply::failure("chown failed (exit 1): chown: cannot access x: Permission denied\n"));
  script("printf 'bad \\377 bytes' >&2; exit 2");
  EXPECT_EQ(chown(alice_ + "/data", kTestUid), StatusReply::failure("chown failed (exit 2): "));
  environment_.chownTool = scratch_.file("no-such-chown");
  EXPECT_EQ(chown(alice_ + "/data", kTestUid),
            StatusReply::failure("Failed to run " + environment_.chownTool + ": could not launch " +
                                 environment_.chownTool + ": No such file or directory"));
}

}  // namespace
}  // namespace tamsel
