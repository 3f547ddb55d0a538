#include "platform/pinned_home.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/pipe_reader.h"
#include "platform/testing/scratch_dir.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;

// A home with one of each kind of entry a user can leave in it, and a file beside it.
class PinnedHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_ + "/dir");
    std::ofstream(home_ + "/plain") << "bytes";
    std::ofstream(home_ + "/dir/inner") << "inner";
    std::ofstream(scratch_.file("outside")) << "outside";
    const std::pair<const char*, std::string> links[] = {
        {"link-in", "dir/inner"}, {"dirlink", "dir"},         {"link-out", "../outside"},
        {"dirlink-out", "/etc"},  {"link-zero", "/dev/zero"}, {"link-abs-in", home_ + "/plain"},
        {"dangling", "nowhere"},
    };
    for (const auto& [name, target] : links) fs::create_symlink(target, home_ + "/" + name);
    ASSERT_EQ(::mkfifo((home_ + "/fifo").c_str(), 0666), 0);
    ASSERT_EQ(::mknod((home_ + "/zero-node").c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
    std::ofstream(home_ + "/sparse").close();
    fs::resize_file(home_ + "/sparse", std::uintmax_t{4} << 30);
  }

  // Runs a shell script confined to the home: its standard output, and its status in *status.
  std::string run(const std::string& script, int* status) {
    Result<StartedTool> tool = pinned_->startConfined("/bin/sh", {"-c", script}, true);
    if (!tool) return "not started: " + tool.error().description;
    std::string out, err;
    readBothToEnd(tool->stdoutRead, tool->stderrRead, out, err);
    *status = tool->process.wait();
    return out;
  }

  ScratchDir scratch_{"pinned_home_test"};
  const std::string home_ = scratch_.file("home");
  std::optional<PinnedHome> pinned_;
};

TEST_F(PinnedHomeTest, LooksUpAndReadsOnlyWhatLiesBeneathTheHome) {
  const struct {
    std::string rel;
    HomeEntry entry;
    std::optional<std::string> contents;  // absent: cannot be read
  } cases[] = {
      {"/plain", HomeEntry::kNonDirectory, "bytes"},
      {"/link-in", HomeEntry::kNonDirectory, "inner"},
      {"/dirlink/inner", HomeEntry::kNonDirectory, "inner"},
      {"", HomeEntry::kDirectory, std::nullopt},
      {"/link-out", HomeEntry::kOutside, std::nullopt},
      {"/dirlink-out/passwd", HomeEntry::kOutside, std::nullopt},
      {"/link-zero", HomeEntry::kOutside, std::nullopt},
      {"/link-abs-in", HomeEntry::kOutside, std::nullopt},  // absolute links never stay beneath
      {"/../outside", HomeEntry::kOutside, std::nullopt},
      {"/fifo", HomeEntry::kNonDirectory, std::nullopt},
      {"/zero-node", HomeEntry::kNonDirectory, std::nullopt},
      {"/sparse", HomeEntry::kNonDirectory, std::nullopt},
      {"/dangling", HomeEntry::kMissing, std::nullopt},
      {"/missing/deeper", HomeEntry::kMissing, std::nullopt},
  };
  Result<PinnedHome> home = PinnedHome::pin(home_);
  ASSERT_TRUE(home.ok());
  ::alarm(10);  // a lookup or read that blocks (on the FIFO) ends the test as a failure
  for (const auto& c : cases) {
    const std::string path = home_ + c.rel;
    EXPECT_EQ(*home->entryAt(path), c.entry) << path;
    Result<std::string> read = home->readRegularFile(path);
    EXPECT_EQ(read.ok() ? std::optional(*read) : std::nullopt, c.contents) << path;
  }
  ::alarm(0);
  EXPECT_EQ(home->readRegularFile(home_ + "/plain", 4).error().code, EFBIG);  // bound is exact
  EXPECT_EQ(*home->readRegularFile(home_ + "/plain", 5), "bytes");

  Result<PinnedHome> absent = PinnedHome::pin(home_ + "/absent");
  ASSERT_TRUE(absent.ok());
  EXPECT_EQ(*absent->entryAt(home_ + "/absent/x"), HomeEntry::kMissing);
  EXPECT_FALSE(PinnedHome::pin("/").ok());
}

TEST_F(PinnedHomeTest, AConfinedToolFollowsNoLinkInTheHome) {
  pinned_.emplace(PinnedHome::pin(home_).value());
  int status = -1;
  const std::string script = "cat " + home_ + "/plain " + home_ + "/dir/inner; echo; for p in " +
                             home_ + "/link-in " + home_ + "/dirlink/inner " + home_ +
                             "/link-out; do cat $p 2>/dev/null || echo refused; done; exit 3";
  EXPECT_EQ(run(script, &status), "bytesinner\nrefused\nrefused\nrefused\n");
  EXPECT_EQ(status, 3);
  // The mount lived and died with the tool's namespace.
  EXPECT_EQ(ScratchDir::read("/proc/self/mountinfo").find(home_), std::string::npos);

  // Default dispositions, whatever the helper's (it ignores SIGPIPE).
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &saved);
  run("kill -PIPE $$; exit 0", &status);
  ::sigaction(SIGPIPE, &saved, nullptr);
  EXPECT_EQ(status, SIGPIPE);

  EXPECT_EQ(pinned_->startConfined(home_ + "/no-tool", {}, false).error().description,
            "could not launch " + home_ + "/no-tool: " + std::strerror(ENOENT));
}

}  // namespace
}  // namespace tamsel
