#include "host/subprocess.h"

#include <latch>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/pipe_reader.h"
#include "platform/process.h"
#include "platform/reader_pool.h"

namespace tamsel::HelperSubprocess {
namespace {

// The standard-error bytes handed from the reader task to the calling thread.
struct DataBox {
  std::mutex lock;
  std::string stored;  // guarded by lock; replaced once, whole, by the reader task
};

RunResult collectBoth(Result<StartedTool> started) {
  if (!started) return started.error();
  // From here on the tool is reaped on every path, a throw included (ChildProcess).

  Output output;
  auto box = std::make_shared<DataBox>();
  auto group = std::make_shared<std::latch>(1);
  auto stderrPipe = std::make_shared<UniqueFd>(std::move(started->stderrRead));
  bool submitted = ReaderPool::shared().trySubmit([box, group, stderrPipe] {
    std::string bytes;
    try {
      bytes = readToEnd(*stderrPipe);
    } catch (...) {  // out of memory: the bytes are lost, the caller is still released
    }
    stderrPipe->reset();
    {
      std::lock_guard lock(box->lock);
      box->stored = std::move(bytes);
    }
    group->count_down();
  });

  if (submitted) {
    output.stdout = readToEnd(started->stdoutRead);
    started->stdoutRead.reset();
    group->wait();
  } else {
    std::string bytes;
    readBothToEnd(started->stdoutRead, *stderrPipe, output.stdout, bytes);
    started->stdoutRead.reset();
    stderrPipe->reset();
    std::lock_guard lock(box->lock);
    box->stored = std::move(bytes);
  }
  output.status = started->process.wait();
  {
    std::lock_guard lock(box->lock);
    output.stderr = box->stored;
  }
  return output;
}

RunResult collectStderr(Result<StartedTool> started) {
  if (!started) return started.error();
  Output output;
  output.stderr = readToEnd(started->stderrRead);
  started->stderrRead.reset();
  output.status = started->process.wait();
  return output;
}

}  // namespace

RunResult run(const std::string& executable, const std::vector<std::string>& arguments) {
  return collectBoth(startTool(executable, arguments, /*captureStdout=*/true));
}

RunResult runCapturingStderr(const std::string& executable,
                             const std::vector<std::string>& arguments) {
  return collectStderr(startTool(executable, arguments, /*captureStdout=*/false));
}

RunResult run(const PinnedHome& home, const std::string& executable,
              const std::vector<std::string>& arguments) {
  return collectBoth(home.startConfined(executable, arguments, /*captureStdout=*/true));
}

RunResult runCapturingStderr(const PinnedHome& home, const std::string& executable,
                             const std::vector<std::string>& arguments) {
  return collectStderr(home.startConfined(executable, arguments, /*captureStdout=*/false));
}

}  // namespace tamsel::HelperSubprocess
