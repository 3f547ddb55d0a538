// A small shared pool of threads that drain pipes for the subprocess runner. Idle workers are kept
// for reuse; a task finds a free worker or gets a new one, so a reader never waits behind a
// tool that keeps another reader busy. Past the worker limit a task is refused and the caller
// drains the pipe itself.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace tamsel {

class ReaderPool {
 public:
  // The process's pool. Never destroyed, so workers may outlive static destruction safely.
  static ReaderPool& shared();

  // Runs task on a pooled worker, now. False when no worker is free and none can be started.
  // An exception that escapes the task is dropped there: it never ends the process.
  bool trySubmit(std::function<void()> task);

  // Caps the number of workers, busy or idle (default 64). Tests lower it to force refusals.
  void setMaxWorkers(int maxWorkers);

 private:
  void workerLoop();

  static constexpr int kMaxIdle = 4;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  int workers_ = 0;
  int idle_ = 0;
  int maxWorkers_ = 64;
};

}  // namespace tamsel
