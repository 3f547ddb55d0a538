#include "platform/process.h"

#include <sys/wait.h>

#include <cerrno>
#include <future>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/reader_pool.h"

namespace tamsel {
namespace {

TEST(ChildProcess, ADroppedChildIsReapedOnEveryPath) {
  std::int32_t pid = -1;
  try {
    auto started = startTool("/bin/true", {}, /*captureStdout=*/true);
    ASSERT_TRUE(started.ok());
    pid = started->process.pid();
    throw std::runtime_error("a body fails before waiting");
  } catch (const std::runtime_error&) {
  }
  ASSERT_GT(pid, 0);
  // Reaped already: no zombie is left for anyone to collect.
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(ReaderPool, AThrowingTaskEndsNeitherTheWorkerNorTheProcess) {
  ReaderPool& pool = ReaderPool::shared();
  ASSERT_TRUE(pool.trySubmit([] { throw std::bad_alloc(); }));
  std::promise<void> ran;
  ASSERT_TRUE(pool.trySubmit([&] { ran.set_value(); }));
  EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
}  // namespace tamsel
