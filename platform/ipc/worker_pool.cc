#include "platform/ipc/worker_pool.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tamsel::ipc {
namespace {

constexpr std::uint64_t kStopToken = ~std::uint64_t{0};
constexpr std::uint64_t kTaskToken = ~std::uint64_t{0} - 1;

Status ctl(int epoll, int op, int fd, std::uint64_t token, std::uint32_t events) {
  struct epoll_event ev {};
  ev.events = events;
  ev.data.u64 = token;
  if (::epoll_ctl(epoll, op, fd, &ev) != 0) return Error::fromErrno(errno, "epoll_ctl");
  return {};
}

constexpr std::uint32_t kOneShotRead = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;

}  // namespace

WorkerPool::WorkerPool(EventHandler handler, WorkerPoolOptions options)
    : handler_(std::move(handler)), options_(options) {}

WorkerPool::~WorkerPool() {
  stop();
}

Status WorkerPool::start() {
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_) return Error::fromErrno(errno, "epoll_create1");
  stopFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  taskFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE));
  if (!stopFd_ || !taskFd_) return Error::fromErrno(errno, "eventfd");
  if (auto st = ctl(epoll_.get(), EPOLL_CTL_ADD, stopFd_.get(), kStopToken, EPOLLIN); !st)
    return st;
  if (auto st = ctl(epoll_.get(), EPOLL_CTL_ADD, taskFd_.get(), kTaskToken, EPOLLIN); !st)
    return st;
  std::lock_guard lock(mutex_);
  for (int i = 0; i < options_.minThreads; ++i) spawnLocked();
  return {};
}

void WorkerPool::stop() {
  if (!epoll_ || stopping_.exchange(true)) return;
  const std::uint64_t one = 1;
  (void)!::write(stopFd_.get(), &one, sizeof(one));
  std::list<std::thread> all;
  {
    std::unique_lock lock(mutex_);
    // Threads move themselves to finished_ as they leave; wait for the last one.
    while (!threads_.empty()) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      lock.lock();
    }
    all.swap(finished_);
  }
  for (auto& t : all) t.join();
}

Status WorkerPool::add(int fd, std::uint64_t token) {
  return ctl(epoll_.get(), EPOLL_CTL_ADD, fd, token, kOneShotRead);
}

Status WorkerPool::addShared(int fd, std::uint64_t token) {
  return ctl(epoll_.get(), EPOLL_CTL_ADD, fd, token, EPOLLIN | EPOLLEXCLUSIVE);
}

Status WorkerPool::rearm(int fd, std::uint64_t token) {
  return ctl(epoll_.get(), EPOLL_CTL_MOD, fd, token, kOneShotRead);
}

void WorkerPool::remove(int fd) {
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void WorkerPool::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  const std::uint64_t one = 1;
  (void)!::write(taskFd_.get(), &one, sizeof(one));
}

int WorkerPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return live_;
}

void WorkerPool::spawnLocked() {
  // Join whoever has left since, so finished threads do not pile up.
  for (auto& t : finished_) t.join();
  finished_.clear();
  ++live_;
  threads_.emplace_back();
  auto self = std::prev(threads_.end());
  *self = std::thread([this, self] {
    loop();
    std::lock_guard lock(mutex_);
    --live_;
    finished_.splice(finished_.end(), threads_, self);
  });
}

void WorkerPool::runOneTask() {
  std::uint64_t count;
  if (::read(taskFd_.get(), &count, sizeof(count)) != sizeof(count)) return;
  std::function<void()> task;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.empty()) return;
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  task();
}

void WorkerPool::loop() {
  for (;;) {
    struct epoll_event ev {};
    ++idle_;
    const int n = ::epoll_wait(epoll_.get(), &ev, 1, options_.idleExitMs);
    const int idleNow = --idle_;
    if (stopping_.load()) return;
    if (n < 0) continue;  // EINTR
    if (n == 0) {
      std::lock_guard lock(mutex_);
      if (live_ > options_.minThreads) return;
      continue;
    }
    if (idleNow == 0) {
      std::lock_guard lock(mutex_);
      if (live_ < options_.maxThreads && !stopping_.load()) spawnLocked();
    }
    if (ev.data.u64 == kStopToken) return;
    if (ev.data.u64 == kTaskToken) {
      runOneTask();
      continue;
    }
    handler_(ev.data.u64, ev.events);
  }
}

}  // namespace tamsel::ipc
