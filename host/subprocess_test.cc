#include "host/subprocess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "host/reader_pool.h"
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

TEST(SubprocessRun, ToolThatWritesNothing) {
  RunResult r = run("/bin/true", {});
  ASSERT_TRUE(r.ok()) << r.error().description;
  EXPECT_EQ(r->stdout, "");
  EXPECT_EQ(r->stderr, "");
  EXPECT_EQ(r->status, 0);
}

TEST(SubprocessRun, ArgumentsReachTheToolUnchangedAndInOrder) {
  RunResult r = run("/usr/bin/printf", {"[%s]", "a b", "", "-x", "\xC3\xA9"});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->stdout, "[a b][][-x][\xC3\xA9]");
}

TEST(SubprocessRun, ManyMegabytesOnBothStreamsAtOnceComeBackCompleteAndInOrder) {
  // Both writers run together; each fills its pipe many times over.
  RunResult r = sh("seq 1 700000 & seq 2000000 2600000 >&2; wait");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->status, 0);
  std::string expectedOut = numbers(1, 700000);
  std::string expectedErr = numbers(2000000, 2600000);
  ASSERT_GT(expectedOut.size(), 4u << 20);
  ASSERT_GT(expectedErr.size(), 4u << 20);
  EXPECT_TRUE(r->stdout == expectedOut) << "stdout differs, size " << r->stdout.size();
  EXPECT_TRUE(r->stderr == expectedErr) << "stderr differs, size " << r->stderr.size();
}

TEST(SubprocessRun, NonZeroStatusIsAnOutputWithEverythingWritten) {
  RunResult r = sh("printf out; printf err >&2; exit 3");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->status, 3);
  EXPECT_EQ(r->stdout, "out");
  EXPECT_EQ(r->stderr, "err");
}

TEST(SubprocessRun, BytesThatAreNotUtf8ComeBackUnchanged) {
  RunResult r = sh("printf '\\377\\000\\200\\300\\257x'; printf '\\376\\000\\355\\240\\200' >&2");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->stdout, std::string("\xFF\0\x80\xC0\xAFx", 6));
  EXPECT_EQ(r->stderr, std::string("\xFE\0\xED\xA0\x80", 5));
}

TEST(SubprocessRun, LaunchErrorsCarryErrnoAndDescription) {
  RunResult missing = run("/nonexistent/tool", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
  EXPECT_EQ(missing.error().description,
            std::string("could not launch /nonexistent/tool: ") + std::strerror(ENOENT));

  // A file that exists but may not be executed.
  char name[] = "/tmp/subprocess_test_XXXXXX";
  UniqueFd fd(::mkostemp(name, O_CLOEXEC));
  ASSERT_TRUE(fd);
  RunResult notExecutable = run(name, {});
  ::unlink(name);
  ASSERT_FALSE(notExecutable.ok());
  EXPECT_EQ(notExecutable.error().code, EACCES);
  EXPECT_NE(notExecutable.error().description.find(name), std::string::npos);
}

TEST(SubprocessRun, ToolSeesOnlyTheStandardDescriptors) {
  // Descriptors the helper opened without close-on-exec must not reach the tool either.
  UniqueFd leaky(::open("/dev/null", O_RDONLY));
  ASSERT_GT(leaky.get(), 2);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd pipeRead(fds[0]);
  UniqueFd pipeWrite(fds[1]);

  // ls opens /proc/self/fd itself as 3; anything else would be inherited.
  RunResult r = run("/bin/ls", {"/proc/self/fd"});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->stdout, "0\n1\n2\n3\n");

  RunResult probe = sh("[ -e /proc/$$/fd/" + std::to_string(leaky.get()) + " ] && echo open");
  ASSERT_TRUE(probe.ok());
  EXPECT_EQ(probe->stdout, "");
}

TEST(SubprocessRun, StandardErrorOnlyFormLeavesStdoutToTheHelper) {
  // Point our own standard output at a file for the duration, to see where the tool's goes.
  char name[] = "/tmp/subprocess_stdout_XXXXXX";
  UniqueFd file(::mkostemp(name, O_CLOEXEC));
  ASSERT_TRUE(file);
  ::unlink(name);
  std::fflush(stdout);
  UniqueFd saved(::fcntl(1, F_DUPFD_CLOEXEC, 3));
  ASSERT_EQ(::dup2(file.get(), 1), 1);
  RunResult r =
      runCapturingStderr("/bin/sh", {"-c", "printf to-stdout; printf to-stderr >&2; exit 7"});
  ::dup2(saved.get(), 1);

  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->status, 7);
  EXPECT_EQ(r->stderr, "to-stderr");
  EXPECT_EQ(r->stdout, "");
  char buffer[64] = {};
  ASSERT_EQ(::pread(file.get(), buffer, sizeof buffer, 0), 9);
  EXPECT_STREQ(buffer, "to-stdout");

  RunResult missing = runCapturingStderr("/nonexistent/chown", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
}

TEST(SubprocessRun, LargeStandardErrorInTheSmallerFormDoesNotBlock) {
  RunResult r = runCapturingStderr("/bin/sh", {"-c", "seq 1 300000 >&2"});
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->stderr == numbers(1, 300000));
}

TEST(SubprocessReaders, AToolHoldingItsStreamsDoesNotHoldUpOtherCalls) {
  // Tool A keeps its standard error open until we write to its FIFO; meanwhile tool B floods
  // standard error. B's reader must not wait behind A's.
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("subprocess_fifo_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string fifo = (dir / "gate").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  auto a = std::async(std::launch::async, [&] { return sh("read line < " + fifo); });
  std::vector<std::future<RunResult>> others;
  for (int i = 0; i < 6; ++i) {
    others.push_back(std::async(std::launch::async, [] { return sh("seq 1 100000 >&2"); }));
  }
  bool allDone = true;
  for (auto& f : others) {
    allDone = allDone && f.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  }
  EXPECT_EQ(a.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  UniqueFd gate(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(gate);
  ASSERT_EQ(::write(gate.get(), "go\n", 3), 3);
  gate.reset();
  RunResult ra = a.get();
  std::filesystem::remove_all(dir);

  ASSERT_TRUE(allDone);
  ASSERT_TRUE(ra.ok());
  EXPECT_EQ(ra->status, 0);
  for (auto& f : others) {
    RunResult r = f.get();
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->stderr == numbers(1, 100000));
  }
}

TEST(SubprocessReaders, WithoutAFreeWorkerTheCallerDrainsBothStreams) {
  ReaderPool& pool = ReaderPool::shared();
  pool.setMaxWorkers(0);
  RunResult r = sh("seq 1 300000 & seq 1 300000 >&2; wait");
  pool.setMaxWorkers(64);
  ASSERT_TRUE(r.ok());
  std::string expected = numbers(1, 300000);
  EXPECT_TRUE(r->stdout == expected);
  EXPECT_TRUE(r->stderr == expected);
}

}  // namespace
}  // namespace tamsel::HelperSubprocess
