// An elastic pool of threads that all wait on one epoll set. Every descriptor is armed one-shot,
// so exactly one thread handles an event of it, and re-arms it when done: requests of one
// connection run in order, connections in parallel. Whenever a thread takes an event and none
// is left waiting, another is started (up to a cap), so a body that blocks never starves the
// other connections; threads that stay idle exit again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "platform/result.h"
#include "platform/unique_fd.h"

namespace tamsel::ipc {

struct WorkerPoolOptions {
  int minThreads = 2;
  int maxThreads = 256;
  int idleExitMs = 10'000;
};

class WorkerPool {
 public:
  // Called on a pool thread for every event of a registered descriptor.
  using EventHandler = std::function<void(std::uint64_t token, std::uint32_t events)>;

  WorkerPool(EventHandler handler, WorkerPoolOptions options);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  Status start();
  // Wakes every thread and joins them. Bodies still running are waited for.
  void stop();

  // One-shot registration; readable interest plus hang-up.
  Status add(int fd, std::uint64_t token);
  // Level-triggered, one waiter woken per event: for a descriptor whose events any number of
  // threads may serve at once without blocking (a non-blocking listening socket). Not re-armed.
  Status addShared(int fd, std::uint64_t token);
  Status rearm(int fd, std::uint64_t token);
  void remove(int fd);

  // Runs task on a pool thread.
  void post(std::function<void()> task);

  int threadCount() const;
  // Whether a thread may keep waiting on one connection: another one is free for the rest.
  bool mayLinger() const { return !stopping_.load() && idle_.load() > 0; }
  int idleCount() const { return idle_.load(); }

 private:
  void loop();
  void spawnLocked();
  void runOneTask();

  const EventHandler handler_;
  const WorkerPoolOptions options_;
  UniqueFd epoll_;
  UniqueFd stopFd_;  // readable once stopping: wakes every waiter
  UniqueFd taskFd_;  // a semaphore counting posted tasks
  std::atomic<bool> stopping_{false};
  std::atomic<int> idle_{0};

  mutable std::mutex mutex_;
  std::list<std::thread> threads_;
  std::list<std::thread> finished_;  // exited, waiting to be joined
  int live_ = 0;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace tamsel::ipc
