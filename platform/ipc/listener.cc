#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ipc/listen_socket.h"
#include "platform/ipc/listener_impl.h"
#include "platform/ipc/socket_io.h"

namespace tamsel::ipc {
namespace {

constexpr std::uint64_t kListenToken = 1;
constexpr std::uint64_t kTimerToken = 2;
constexpr std::uint64_t kFirstConnectionToken = 16;

constexpr int kDefaultMaxUnadmitted = 64;
constexpr int kDefaultUnadmittedTimeoutMs = 5'000;
// Cold signature checks running at once; more peers wait in line (bounded above).
constexpr int kMaxConcurrentVerifications = 2;
// How long accepting pauses when the process runs out of descriptors.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr long kHousekeepingPeriodNs = 50'000'000;

}  // namespace

std::string serviceSocketPath(std::string_view serviceName) {
  return "/run/" + std::string(serviceName) + ".socket";
}

Listener::Impl::Impl(std::string_view serviceName, ListenerOptions options)
    : options_(std::move(options)),
      admission_(options_.anchorPath),
      pool_([this](std::uint64_t token, std::uint32_t) { onEvent(token); }, WorkerPoolOptions{}),
      context_{pool_, admission_, [this](std::uint64_t token) { forget(token); }},
      nextToken_(kFirstConnectionToken) {
  if (options_.maxUnadmittedConnections <= 0) {
    options_.maxUnadmittedConnections = kDefaultMaxUnadmitted;
  }
  if (options_.unadmittedIdleTimeoutMs <= 0) {
    options_.unadmittedIdleTimeoutMs = kDefaultUnadmittedTimeoutMs;
  }
  if (options_.socketPath.empty()) {
    listenFd_ = takeActivatedSocket();
    if (!listenFd_) options_.socketPath = serviceSocketPath(serviceName);
  }
  if (!listenFd_) {
    auto bound = bindListeningSocket(options_.socketPath);
    if (!bound) {
      status_ = bound.error();
      return;
    }
    listenFd_ = std::move(*bound);
    boundPath_ = options_.socketPath;
  }
}

Listener::Impl::~Impl() {
  stop();
  pool_.stop();
  std::unordered_map<std::uint64_t, std::shared_ptr<ServerConnection>> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
    pending_.clear();
  }
  for (auto& [token, conn] : connections) conn->close();
  if (!boundPath_.empty()) ::unlink(boundPath_.c_str());
}

void Listener::Impl::setDelegate(ListenerDelegate* delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = delegate;
}

void Listener::Impl::resume() {
  if (!status_ || resumed_.exchange(true)) return;
  timerFd_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!timerFd_) {
    status_ = Error::fromErrno(errno, "timerfd_create");
    return;
  }
  if (auto st = pool_.start(); !st) {
    status_ = st;
    return;
  }
  if (auto st = pool_.add(timerFd_.get(), kTimerToken); !st) status_ = st;
  if (auto st = pool_.add(listenFd_.get(), kListenToken); !st) status_ = st;
}

void Listener::Impl::run() {
  std::unique_lock lock(runMutex_);
  runCv_.wait(lock, [&] { return stopped_; });
}

void Listener::Impl::stop() {
  std::lock_guard lock(runMutex_);
  stopped_ = true;
  runCv_.notify_all();
}

std::size_t Listener::Impl::connectionCount() {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

void Listener::Impl::onEvent(std::uint64_t token) {
  if (token == kListenToken) return acceptOne();
  if (token == kTimerToken) return housekeeping();
  std::shared_ptr<ServerConnection> conn;
  {
    std::lock_guard lock(mutex_);
    auto it = connections_.find(token);
    if (it == connections_.end()) return;
    conn = it->second;
  }
  conn->onEvent();
}

void Listener::Impl::acceptOne() {
  // Blocking, so that a thread may linger on it (bounded by its receive timeout); every other
  // read and write passes MSG_DONTWAIT.
  UniqueFd socket(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!socket && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
    // Out of descriptors: stop taking connections for a moment instead of spinning; they
    // wait in the backlog meanwhile.
    {
      std::lock_guard lock(mutex_);
      acceptPausedUntil_ = Clock::now() + kAcceptPause;
    }
    armHousekeeping();
    return;
  }
  // The next connection may be accepted on another thread while this one is admitted.
  (void)pool_.rearm(listenFd_.get(), kListenToken);
  if (socket) admit(std::move(socket));
}

// Every refusal is silent: the socket is closed and nothing is logged.
void Listener::Impl::admit(UniqueFd socket) {
  // Credentials on every message from now on; pidfds too once a second writer appears.
  if (!sock::enablePeerStamps(socket.get(), /*withPidfd=*/false)) return;
  const bool pidfdCapable = !options_.forcePidfdFallback && sock::kernelStampsPidfds();
  auto peer = identifySocketPeer(socket.get(), options_.forcePidfdFallback);
  if (!peer) return;
  if (auto verdict = admission_.cachedVerdict(peer->exe)) {
    if (*verdict) offer(std::move(socket), std::move(*peer), pidfdCapable);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (pending_.size() >= static_cast<std::size_t>(options_.maxUnadmittedConnections)) return;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(options_.unadmittedIdleTimeoutMs);
    pending_.push_back(Pending{std::move(socket), std::move(*peer), pidfdCapable, deadline});
    if (verifiers_ < kMaxConcurrentVerifications) {
      ++verifiers_;
      pool_.post([this] { verifyPending(); });
    }
  }
  armHousekeeping();
}

// On a pool thread: checks the signatures of waiting peers until none is left.
void Listener::Impl::verifyPending() {
  for (;;) {
    Pending p;
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) {
        --verifiers_;
        return;
      }
      p = std::move(pending_.front());
      pending_.pop_front();
    }
    if (Clock::now() > p.deadline) continue;
    if (!admission_.verify(p.peer)) continue;
    if (Clock::now() > p.deadline) continue;
    offer(std::move(p.socket), std::move(p.peer), p.pidfdCapable);
  }
}

void Listener::Impl::offer(UniqueFd socket, PeerProcess peer, bool pidfdCapable) {
  // A client speaks only after the hello. Bytes already queued may have been written by
  // whatever the process ran before the executable just checked: refuse them.
  int queued = 0;
  if (::ioctl(socket.get(), FIONREAD, &queued) != 0 || queued != 0) return;
  std::shared_ptr<ServerConnection> conn;
  {
    std::lock_guard lock(mutex_);
    const std::uint64_t token = nextToken_++;
    conn = std::make_shared<ServerConnection>(context_, token, std::move(socket), std::move(peer),
                                              pidfdCapable);
    connections_.emplace(token, conn);
  }
  bool accepted = false;
  {
    // One offer at a time, as from a single listener queue.
    std::lock_guard lock(delegateMutex_);
    if (delegate_ != nullptr) accepted = delegate_->shouldAcceptNewConnection(*conn);
  }
  conn->offered(accepted);
}

void Listener::Impl::forget(std::uint64_t token) {
  std::lock_guard lock(mutex_);
  connections_.erase(token);
}

void Listener::Impl::armHousekeeping() {
  struct itimerspec period {};
  period.it_value.tv_nsec = kHousekeepingPeriodNs;
  ::timerfd_settime(timerFd_.get(), 0, &period, nullptr);
}

// Resumes accepting after a pause, and drops peers that waited too long for their verdict.
void Listener::Impl::housekeeping() {
  std::uint64_t expirations;
  (void)!::read(timerFd_.get(), &expirations, sizeof(expirations));
  const auto now = Clock::now();
  bool again = false;
  bool resumeAccepting = false;
  std::deque<Pending> expired;
  {
    std::lock_guard lock(mutex_);
    if (acceptPausedUntil_) {
      if (now >= *acceptPausedUntil_) {
        acceptPausedUntil_.reset();
        resumeAccepting = true;
      } else {
        again = true;
      }
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (now > it->deadline) {
        expired.push_back(std::move(*it));
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
    again = again || !pending_.empty();
  }
  expired.clear();
  if (resumeAccepting) (void)pool_.rearm(listenFd_.get(), kListenToken);
  if (again) armHousekeeping();
  (void)pool_.rearm(timerFd_.get(), kTimerToken);
}

Listener::Listener(std::string_view serviceName, ListenerOptions options)
    : impl_(std::make_unique<Impl>(serviceName, std::move(options))) {}

Listener::~Listener() = default;

void Listener::setDelegate(ListenerDelegate* delegate) {
  impl_->setDelegate(delegate);
}

void Listener::setConnectionCodeSigningRequirement(std::string_view requirement) {
  impl_->setRequirement(requirement);
}

void Listener::resume() {
  impl_->resume();
}
void Listener::run() {
  impl_->run();
}
void Listener::stop() {
  impl_->stop();
}
const Status& Listener::status() const {
  return impl_->status();
}

}  // namespace tamsel::ipc
