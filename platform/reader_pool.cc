#include "platform/reader_pool.h"

#include <system_error>
#include <thread>

namespace tamsel {

ReaderPool& ReaderPool::shared() {
  static ReaderPool* pool = new ReaderPool;  // leaked on purpose: workers may still wait on it
  return *pool;
}

bool ReaderPool::trySubmit(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  // Every idle worker takes one queued task; only a surplus of idle workers is free.
  if (workers_ <= maxWorkers_ && idle_ > static_cast<int>(queue_.size())) {
    queue_.push_back(std::move(task));
    lock.unlock();
    wake_.notify_one();
    return true;
  }
  if (workers_ >= maxWorkers_) return false;
  try {
    std::thread([this] { workerLoop(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  ++workers_;
  queue_.push_back(std::move(task));
  return true;
}

void ReaderPool::setMaxWorkers(int maxWorkers) {
  {
    std::lock_guard lock(mutex_);
    maxWorkers_ = maxWorkers;
  }
  wake_.notify_all();  // idle workers above the cap leave
}

void ReaderPool::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(lock, [this] { return !queue_.empty() || workers_ > maxWorkers_; });
    --idle_;
    if (queue_.empty()) break;
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    try {
      task();
    } catch (...) {  // a task's failure is its own; the worker and the process go on
    }
    task = nullptr;  // drop what the task holds before going idle
    lock.lock();
    if (idle_ >= kMaxIdle || workers_ > maxWorkers_) break;
  }
  --workers_;
}

}  // namespace tamsel
