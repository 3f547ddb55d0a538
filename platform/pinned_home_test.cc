#include "platform/pinned_home.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

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
        {"link-in", "dir/inner"},          {"dirlink", "dir"},      {"link-out", "../outside"},
        {"link-etc", "/etc/passwd"},       {"dirlink-out", "/etc"}, {"link-zero", "/dev/zero"},
        {"link-abs-in", home_ + "/plain"}, {"dangling", "nowhere"},
    };
    for (const auto& [name, target] : links) fs::create_symlink(target, home_ + "/" + name);
    ASSERT_EQ(::mkfifo((home_ + "/fifo").c_str(), 0666), 0);
    ASSERT_EQ(::mknod((home_ + "/zero-node").c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
    std::ofstream(home_ + "/sparse").close();
    fs::resize_file(home_ + "/sparse", std::uintmax_t{4} << 30);
  }

  // Runs a shell script confined to home: its standard output, and its status in *status.
  static std::string run(const PinnedHome& home, const std::string& script, int* status) {
    Result<StartedTool> tool = home.startConfined("/bin/sh", {"-c", script}, true);
    if (!tool) return "not started: " + tool.error().description;
    std::string out, errors;
    readBothToEnd(tool->stdoutRead, tool->stderrRead, out, errors);
    *status = tool->process.wait();
    return out;
  }

  PinnedHome pinned() {
    Result<PinnedHome> p = PinnedHome::pin(home_);
    EXPECT_TRUE(p.ok());
    return std::move(p.value());
  }

  ScratchDir scratch_{"pinned_home_test"};
  const std::string home_ = scratch_.file("home");
};

TEST_F(PinnedHomeTest, LooksUpAndReadsOnlyWhatLiesBeneathTheHome) {
  struct Case {
    std::string rel;
    HomeEntry entry;
    std::optional<std::string> contents;  // absent: cannot be read
  };
  const Case cases[] = {
      {"/plain", HomeEntry::kNonDirectory, "bytes"},
      {"/link-in", HomeEntry::kNonDirectory, "inner"},
      {"/dirlink/inner", HomeEntry::kNonDirectory, "inner"},
      {"", HomeEntry::kDirectory, std::nullopt},
      {"/dir", HomeEntry::kDirectory, std::nullopt},
      {"/link-out", HomeEntry::kOutside, std::nullopt},
      {"/link-etc", HomeEntry::kOutside, std::nullopt},
      {"/dirlink-out/passwd", HomeEntry::kOutside, std::nullopt},
      {"/link-zero", HomeEntry::kOutside, std::nullopt},
      {"/link-abs-in", HomeEntry::kOutside, std::nullopt},  // absolute links never stay beneath
      {"/../outside", HomeEntry::kOutside, std::nullopt},
      {"x/../plain", HomeEntry::kOutside, std::nullopt},  // a sibling of the home
      {"/fifo", HomeEntry::kNonDirectory, std::nullopt},
      {"/zero-node", HomeEntry::kNonDirectory, std::nullopt},
      {"/sparse", HomeEntry::kNonDirectory, std::nullopt},
      {"/dangling", HomeEntry::kMissing, std::nullopt},
      {"/missing/deeper", HomeEntry::kMissing, std::nullopt},
  };
  PinnedHome home = pinned();
  ::alarm(10);  // a lookup or read that blocks (on the FIFO) ends the test as a failure
  for (const Case& c : cases) {
    const std::string path = home_ + c.rel;
    EXPECT_EQ(home.entryAt(path), c.entry) << path;
    Result<std::string> read = home.readRegularFile(path);
    EXPECT_EQ(read.ok(), c.contents.has_value()) << path;
    if (read.ok() && c.contents) {
      EXPECT_EQ(*read, *c.contents) << path;
    }
  }
  ::alarm(0);
  EXPECT_EQ(home.entryAt("/etc/passwd"), HomeEntry::kOutside);
}

TEST_F(PinnedHomeTest, ReadsAreBoundedToTheByte) {
  PinnedHome home = pinned();
  EXPECT_EQ(*home.readRegularFile(home_ + "/plain", 5), "bytes");
  EXPECT_EQ(home.readRegularFile(home_ + "/plain", 4).error().code, EFBIG);
}

TEST_F(PinnedHomeTest, AMissingHomeHoldsNothing) {
  Result<PinnedHome> home = PinnedHome::pin(home_ + "/absent");
  ASSERT_TRUE(home.ok());
  EXPECT_EQ(home->entryAt(home_ + "/absent/x"), HomeEntry::kMissing);
  EXPECT_FALSE(home->readRegularFile(home_ + "/absent/x").ok());
  EXPECT_EQ(home->startConfined("/bin/true", {}, false).error().description,
            "could not confine /bin/true to " + home_ +
                "/absent: the home does not exist: " + std::strerror(ENOENT));
  EXPECT_FALSE(PinnedHome::pin("/").ok());
}

std::string mountsOf(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.find(" " + path + " ") != std::string::npos) out += line + "\n";
  }
  return out;
}

TEST_F(PinnedHomeTest, AConfinedToolFollowsNoLinkInTheHome) {
  PinnedHome home = pinned();
  const std::string script = "cat " + home_ + "/plain " + home_ + "/dir/inner; echo; for p in " +
                             home_ + "/link-in " + home_ + "/dirlink/inner " + home_ +
                             "/link-out; do cat $p 2>/dev/null || echo refused; done; exit 3";
  int status = -1;
  EXPECT_EQ(run(home, script, &status), "bytesinner\nrefused\nrefused\nrefused\n");
  EXPECT_EQ(status, 3);
  EXPECT_EQ(mountsOf(home_), "");  // the mount lived and died with the tool's namespace
}

TEST_F(PinnedHomeTest, TheToolStartsWithDefaultSignalsAndLaunchFailuresAreReported) {
  PinnedHome home = pinned();
  struct sigaction ignore {};
  struct sigaction saved {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &saved);
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &term, &previous);
  int piped = -1, termed = -1;
  run(home, "kill -PIPE $$; exit 0", &piped);
  run(home, "kill -TERM $$; exit 0", &termed);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::sigaction(SIGPIPE, &saved, nullptr);
  EXPECT_EQ(piped, SIGPIPE);
  EXPECT_EQ(termed, SIGTERM);

  Result<StartedTool> missing = home.startConfined(home_ + "/no-tool", {}, false);
  EXPECT_EQ(missing.error().description,
            "could not launch " + home_ + "/no-tool: " + std::strerror(ENOENT));
}

}  // namespace
}  // namespace tamsel
