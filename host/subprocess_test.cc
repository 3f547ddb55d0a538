#include "host/subprocess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>

#include <gtest/gtest.h>

#include "platform/reader_pool.h"
#include "platform/testing/scratch_dir.h"
#include "platform/unique_fd.h"

namespace tamsel::HelperSubprocess {
namespace {

RunResult sh(const std::string& script) {
  return run("/bin/sh", {"-c", script});
}

std::string numbers(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += std::to_string(i) + "\n";
  return s;
}

TEST(SubprocessRun, OutputsAndStatusComeBackAsWritten) {
  const struct {
    std::string executable;
    std::vector<std::string> arguments;
    std::string out, err;
    int status;
  } cases[] = {
      {"/bin/true", {}, "", "", 0},
      {"/usr/bin/printf", {"[%s]", "a b", "", "-x", "\xC3\xA9"}, "[a b][][-x][\xC3\xA9]", "", 0},
      {"/bin/sh", {"-c", "printf out; printf err >&2; exit 3"}, "out", "err", 3},
      {"/bin/sh",
       {"-c", "printf '\\377\\000\\200x'; printf '\\376\\000\\355' >&2"},
       std::string("\xFF\0\x80x", 4),
       std::string("\xFE\0\xED", 3),
       0},
  };
  for (const auto& c : cases) {
    RunResult r = run(c.executable, c.arguments);
    ASSERT_TRUE(r.ok()) << r.error().description;
    EXPECT_EQ(r->stdout, c.out);
    EXPECT_EQ(r->stderr, c.err);
    EXPECT_EQ(r->status, c.status);
  }
}

TEST(SubprocessRun, LaunchErrorsCarryErrnoAndDescription) {
  ScratchDir dir("subprocess_test");
  std::ofstream(dir.file("plain")) << "x";
  for (const auto& [tool, code] :
       {std::pair<std::string, int>{"/nonexistent/tool", ENOENT}, {dir.file("plain"), EACCES}}) {
    RunResult r = runCapturingStderr(tool, {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, code);
    EXPECT_EQ(r.error().description, "could not launch " + tool + ": " + std::strerror(code));
  }
}

TEST(SubprocessRun, ToolSeesOnlyTheStandardDescriptors) {
  // Descriptors the helper opened without close-on-exec must not reach the tool either.
  UniqueFd leaky(::open("/dev/null", O_RDONLY));
  ASSERT_GT(leaky.get(), 2);
  // ls opens /proc/self/fd itself as 3; anything else would be inherited.
  RunResult r = run("/bin/ls", {"/proc/self/fd"});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->stdout, "0\n1\n2\n3\n");
}

// The daemon ignores SIGPIPE; a tool must not inherit that, nor the caller's blocked signals.
TEST(SubprocessRun, ToolStartsWithDefaultSignalDispositionsAndNothingBlocked) {
  auto previous = std::signal(SIGPIPE, SIG_IGN);
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved);
  RunResult r = run("/bin/grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"});
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  std::signal(SIGPIPE, previous);
  ASSERT_TRUE(r.ok());
  // Masks of signals 1 to 64 in hex; 32 and up belong to the C library and may be set by
  // whatever started the tests, so only the standard signals count.
  unsigned long long blocked = 0, ignored = 0;
  ASSERT_EQ(std::sscanf(r->stdout.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2)
      << r->stdout;
  EXPECT_EQ(blocked & 0x7fffffffULL, 0u) << r->stdout;
  EXPECT_EQ(ignored & 0x7fffffffULL, 0u) << r->stdout;
}

// Several megabytes on both streams at once never block the tool on a full pipe, whoever drains.
TEST(SubprocessRun, LargeOutputsComeBackCompleteWhoeverDrains) {
  const std::string out = numbers(1, 700000);
  const std::string err = numbers(2000000, 2600000);
  const std::string both = "seq 1 700000 & seq 2000000 2600000 >&2; wait";
  for (int maxWorkers : {64, 0}) {  // a pooled stderr reader, then the caller draining both
    ReaderPool::shared().setMaxWorkers(maxWorkers);
    RunResult r = sh(both);
    ReaderPool::shared().setMaxWorkers(64);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->stdout == out) << "stdout differs, size " << r->stdout.size();
    EXPECT_TRUE(r->stderr == err) << "stderr differs, size " << r->stderr.size();
  }
  RunResult stderrOnly = runCapturingStderr("/bin/sh", {"-c", "seq 2000000 2600000 >&2"});
  ASSERT_TRUE(stderrOnly.ok());
  EXPECT_TRUE(stderrOnly->stderr == err);
}

TEST(SubprocessRun, AToolHoldingItsStreamsDoesNotHoldUpOtherCalls) {
  // Tool A keeps its standard error open until we write to its FIFO; meanwhile others flood
  // standard error. Their readers must not wait behind A's.
  ScratchDir dir("subprocess_fifo");
  const std::string fifo = dir.file("gate");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto a = std::async(std::launch::async, [&] { return sh("read line < " + fifo); });
  std::vector<std::future<RunResult>> others;
  for (int i = 0; i < 6; ++i) {
    others.push_back(std::async(std::launch::async, [] { return sh("seq 1 100000 >&2"); }));
  }
  for (auto& f : others) {
    ASSERT_EQ(f.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(f.get()->stderr == numbers(1, 100000));
  }
  EXPECT_EQ(a.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  UniqueFd gate(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(::write(gate.get(), "go\n", 3), 3);
  gate.reset();
  EXPECT_EQ(a.get()->status, 0);
}

}  // namespace
}  // namespace tamsel::HelperSubprocess
