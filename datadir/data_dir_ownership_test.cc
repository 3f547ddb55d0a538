#include "datadir/data_dir_ownership.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/scratch_dir.h"

#include "service/test_support.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kTestUid = 4242;
constexpr std::uint32_t kTestGid = 4343;

// A scratch tree with alice's and bob's homes and a place outside both, all owned by root.
// The tool is a script that records its arguments unless a test asks for the real chown.
class ChownDataDir : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    alice_ = root_ + "/home/alice";
    bob_ = root_ + "/home/bob";
    outside_ = root_ + "/outside";
    fs::create_directories(alice_ + "/data/sub");
    std::ofstream(alice_ + "/data/sub/file") << "x";
    fs::create_directories(bob_ + "/data");
    fs::create_directories(outside_);
    std::ofstream(outside_ + "/file") << "x";
    fs::create_symlink(outside_, alice_ + "/out");
    fs::create_symlink(bob_, alice_ + "/bob");
    fs::create_symlink("/", alice_ + "/root");
    fs::create_symlink("/etc", alice_ + "/etc");
    fs::create_symlink(alice_ + "/data", alice_ + "/absolute");  // cannot be confined beneath

    argsFile_ = root_ + "/args";
    script("printf '%s\\n' \"$@\" > " + argsFile_);
    environment_.connectingHome = [this] { return home_; };
    environment_.userEntry = [](std::uint32_t uid) -> std::optional<UserRecord> {
      if (uid == 0) return UserRecord{"/root", 0};
      if (uid == kTestUid) return UserRecord{"/home/test", kTestGid};
      return std::nullopt;
    };
  }

  void script(const std::string& body) {
    const std::string tool = root_ + "/tool";
    std::ofstream(tool) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(tool, fs::perms::owner_all);
    environment_.chownTool = tool;
  }

  Answer chown(const std::string& path, std::int64_t toUid) {
    Answer a;
    chownTamselDataDirIn(environment_, helper_, path, toUid,
                         StatusReply([&a](bool ok, Message message, std::int32_t code) {
                           ++a.calls;
                           a.ok = ok;
                           a.message = std::move(message);
                           a.code = code;
                         }));
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.code, 0);
    return a;
  }
  bool toolRan() const { return fs::exists(argsFile_); }

  std::shared_ptr<TestSink> sink_ = std::make_shared<TestSink>();
  HelperImpl helper_{log::Logger("app.tamsel.TamselHelper", "helper", sink_)};
  ChownEnvironment environment_;
  std::optional<std::string> home_;
  ScratchDir scratch_{"datadir_test"};
  std::string root_, alice_, bob_, outside_, argsFile_;
};

TEST_F(ChownDataDir, RunsTheToolWithExactlyThreeArgumentsOnTheStandardisedPath) {
  home_ = alice_ + "/";
  Answer a = chown(alice_ + "/./data//sub/", kTestUid);
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.message, std::nullopt);
  EXPECT_EQ(readFile(argsFile_), "-R\n4242:4343\n" + alice_ + "/data/sub\n");
  ASSERT_EQ(sink_->messages().size(), 1u);
  EXPECT_EQ(sink_->messages()[0],
            "chownTamselDataDir: path=" + alice_ + "/./data//sub/, toUid=4242");
}

TEST_F(ChownDataDir, PathsOutsideTheHomeAreRefusedAndNothingRuns) {
  home_ = alice_;
  const std::string refusal = "chownTamselDataDir: path must live under the connecting user's home";
  for (const std::string& path :
       {alice_ + "/../bob/data", std::string("/etc"), alice_ + "x", alice_ + "/out/file",
        alice_ + "/bob/data", alice_ + "/root", alice_ + "/absolute/sub"}) {
    Answer a = chown(path, kTestUid);
    EXPECT_FALSE(a.ok) << path;
    EXPECT_EQ(a.message, refusal) << path;
  }
  EXPECT_FALSE(toolRan());
}

TEST_F(ChownDataDir, NothingAtThePathIsSuccessWithoutRunningTheTool) {
  home_ = alice_;
  fs::create_symlink("nowhere", alice_ + "/dangling");
  for (const std::string& path :
       {alice_ + "/missing", alice_ + "/missing/deeper", alice_ + "/dangling"}) {
    Answer a = chown(path, kTestUid);
    EXPECT_TRUE(a.ok) << path;
    EXPECT_EQ(a.message, std::nullopt);
  }
  // Existence is decided before the user id is looked at.
  EXPECT_TRUE(chown(alice_ + "/missing", -1).ok);
  EXPECT_FALSE(toolRan());
}

TEST_F(ChownDataDir, UserIdsWithoutAnEntryAreRefused) {
  home_ = alice_;
  EXPECT_EQ(chown(alice_ + "/data", 501).message,
            "chownTamselDataDir: uid 501 not found in passwd");
  EXPECT_EQ(chown(alice_ + "/data", 4294967295LL).message,
            "chownTamselDataDir: uid 4294967295 not found in passwd");
  EXPECT_EQ(chown(alice_ + "/data", -1).message,
            "chownTamselDataDir: uid -1 is not a valid user id");
  // Not truncated to 32 bits, which would name the test user.
  EXPECT_EQ(chown(alice_ + "/data", 4294967296LL + kTestUid).message,
            "chownTamselDataDir: uid 4294971538 is not a valid user id");
  EXPECT_EQ(chown(alice_ + "/data", INT64_MIN).message,
            "chownTamselDataDir: uid -9223372036854775808 is not a valid user id");
  EXPECT_FALSE(toolRan());
  EXPECT_EQ(sink_->messages()[2], "chownTamselDataDir: path=" + alice_ + "/data, toUid=-1");
}

TEST_F(ChownDataDir, WithoutAConnectingUserNothingIsTouched) {
  home_ = std::nullopt;
  Answer a = chown(alice_ + "/data", kTestUid);
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(a.message, "chownTamselDataDir: could not resolve the connecting user's home");

  // The real lookup outside a request finds no connecting user either.
  environment_.connectingHome = connectingUserHome;
  EXPECT_EQ(chown(alice_ + "/data", kTestUid).message,
            "chownTamselDataDir: could not resolve the connecting user's home");

  home_ = "/";
  environment_.connectingHome = [this] { return home_; };
  EXPECT_EQ(chown("/etc", 0).message,
            "chownTamselDataDir: path must live under the connecting user's home");
  EXPECT_FALSE(toolRan());
}

TEST_F(ChownDataDir, ToolFailuresAreReported) {
  home_ = alice_;
  script("printf 'chown: cannot access x: Permission denied\\n' >&2; exit 1");
  EXPECT_EQ(chown(alice_ + "/data", kTestUid).message,
            "chown failed (exit 1): chown: cannot access x: Permission denied\n");

  script("printf 'bad \\377 bytes' >&2; exit 2");
  EXPECT_EQ(chown(alice_ + "/data", kTestUid).message, "chown failed (exit 2): ");

  environment_.chownTool = root_ + "/no-such-chown";
  EXPECT_EQ(chown(alice_ + "/data", kTestUid).message,
            "Failed to run " + root_ + "/no-such-chown: could not launch " + root_ +
                "/no-such-chown: No such file or directory");
}

}  // namespace
}  // namespace tamsel
