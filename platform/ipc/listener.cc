#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/ipc/listen_socket.h"
#include "platform/ipc/listener_impl.h"
#include "platform/ipc/socket_io.h"

namespace tamsel::ipc {
namespace {

constexpr std::uint64_t kListenToken = 1;
constexpr std::uint64_t kTimerToken = 2;
constexpr std::uint64_t kFirstConnectionToken = 16;

// Budgets. Per user: processes being identified at once (two CPUs' worth of connects in the same
// instant, with room; more only if identifications hang), peers waiting for a signature check,
// admitted connections (the application holds a handful).
constexpr int kMaxIdentifyingPerUser = 8;
constexpr int kMaxWaitingPerUser = 16;
constexpr int kMaxConnectionsPerUser = 256;
// For everyone: peers waiting for a check, and checks running (one per user at a time).
constexpr std::size_t kMaxWaiting = 256;
constexpr int kMaxChecks = 2;
constexpr int kDefaultWaitTimeoutMs = 5'000;
// A frame begun must be finished within this time; a client writes one in a single call.
constexpr auto kPartialFrameDeadline = std::chrono::seconds(5);
// Descriptors never given to connections: whatever identifying a new client and running a body
// needs. Each connection or waiting peer holds two (its socket and its process's /proc directory).
constexpr std::size_t kDescriptorReserve = 256;
constexpr std::size_t kDescriptorsPerPeer = 2;
// Held back for identifying a peer accepted just as the process ran out of them: a pidfd and a
// /proc directory.
constexpr std::size_t kSpareDescriptors = 2;
// At its connection limit, a user's hung-up connections are looked for at most this often.
constexpr auto kSweepInterval = std::chrono::milliseconds(20);
// How long accepting pauses when the process runs out of descriptors anyway.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr long kHousekeepingPeriodNs = 50'000'000;

WorkerPoolOptions admissionPoolOptions() {
  WorkerPoolOptions o;
  o.minThreads = 1;
  o.maxThreads = 64;
  return o;
}

// Raises the soft limit on descriptors to the hard one; returns what may be held.
std::size_t descriptorBudget() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  const std::size_t soft = limit.rlim_cur == RLIM_INFINITY ? std::size_t{1} << 20 : limit.rlim_cur;
  return soft > kDescriptorReserve ? soft - kDescriptorReserve : 0;
}

}  // namespace

std::string serviceSocketPath(std::string_view serviceName) {
  return "/run/" + std::string(serviceName) + ".socket";
}

Listener::Impl::Impl(std::string_view serviceName, ListenerOptions options)
    : options_(std::move(options)),
      admission_(options_.anchorPath),
      pool_([this](std::uint64_t token, std::uint32_t) { onRequestEvent(token); },
            WorkerPoolOptions{}),
      admissionPool_([this](std::uint64_t token, std::uint32_t) { onAdmissionEvent(token); },
                     admissionPoolOptions()),
      context_{pool_, [this](std::uint64_t token) { forget(token); },
               [this](std::shared_ptr<ServerConnection> conn, WriterToIdentify who) {
                 identifyWriter(std::move(conn), std::move(who));
               },
               [this](std::uint64_t token, bool partial) { partialFrame(token, partial); }},
      nextToken_(kFirstConnectionToken) {
  if (options_.unadmittedIdleTimeoutMs <= 0)
    options_.unadmittedIdleTimeoutMs = kDefaultWaitTimeoutMs;
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
  // Admission first: no verdict may arrive for a connection once requests stop.
  admissionPool_.stop();
  pool_.stop();
  std::unordered_map<std::uint64_t, Held> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
    pending_.clear();
  }
  for (auto& [token, held] : connections) held.connection->close();
  if (!boundPath_.empty()) ::unlink(boundPath_.c_str());
}

void Listener::Impl::setDelegate(ListenerDelegate* delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = delegate;
}

void Listener::Impl::takeSpareDescriptors() {
  std::lock_guard lock(spareMutex_);
  while (spare_.size() < kSpareDescriptors) {
    UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!fd) return;
    spare_.push_back(std::move(fd));
  }
}

void Listener::Impl::resume() {
  if (!status_ || resumed_.exchange(true)) return;
  descriptorLimit_ = descriptorBudget();
  takeSpareDescriptors();
  timerFd_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!timerFd_) {
    status_ = Error::fromErrno(errno, "timerfd_create");
    return;
  }
  for (WorkerPool* pool : {&pool_, &admissionPool_}) {
    if (auto st = pool->start(); !st) {
      status_ = st;
      return;
    }
  }
  // Credentials on every message: a socket connecting from now on takes the flag from the
  // listening socket; those already waiting (the service manager may have queued some) get it one
  // by one.
  if (auto st = sock::enablePeerStamps(listenFd_.get(), /*withPidfd=*/false); !st) {
    status_ = st.error();
    return;
  }
  for (UniqueFd early;
       (early = UniqueFd(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC)));) {
    if (!sock::enablePeerStamps(early.get(), /*withPidfd=*/false)) continue;
    auto waiting = std::make_shared<UniqueFd>(std::move(early));
    pool_.post([this, waiting] { admit(std::move(*waiting)); });
  }
  if (auto st = admissionPool_.add(timerFd_.get(), kTimerToken); !st) status_ = st;
  // Any request thread may accept while others serve: what it does for a new peer never waits,
  // and whatever may is left to the admission threads.
  if (auto st = pool_.addShared(listenFd_.get(), kListenToken); !st) status_ = st;
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

void Listener::Impl::onAdmissionEvent(std::uint64_t token) {
  if (token == kTimerToken) return housekeeping();
}

void Listener::Impl::onRequestEvent(std::uint64_t token) {
  if (token == kListenToken) return acceptOne();
  std::shared_ptr<ServerConnection> conn;
  {
    std::lock_guard lock(mutex_);
    auto it = connections_.find(token);
    if (it == connections_.end()) return;
    conn = it->second.connection;
  }
  conn->onEvent();
}

void Listener::Impl::acceptOne() {
  // Without the spare descriptors a peer accepted now might not be identified: wait for them.
  bool spare;
  {
    std::lock_guard lock(spareMutex_);
    spare = spare_.size() == kSpareDescriptors;
  }
  UniqueFd socket(spare ? ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
  if (socket) return admit(std::move(socket));
  if (!spare || errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
    pauseAccepting();
  }
  // EAGAIN: another thread took it.
}

// Out of descriptors: stop taking connections for a moment instead of spinning; they wait in the
// backlog meanwhile.
void Listener::Impl::pauseAccepting() {
  pool_.remove(listenFd_.get());
  {
    std::lock_guard lock(mutex_);
    acceptPausedUntil_ = Clock::now() + kAcceptPause;
  }
  armHousekeeping();
}

void Listener::Impl::releaseUserLocked(std::uint32_t uid) {
  auto it = users_.find(uid);
  if (it != users_.end() && it->second.idle()) users_.erase(it);
}

// Whether the user may have one more connection. One whose peer has hung up counts until a
// request thread tears it down; at the limit those are looked for (at most every so often, so
// that knocking at the limit costs the daemon little), so that a busy daemon does not refuse a
// user for its own lag.
bool Listener::Impl::roomForConnectionLocked(std::uint32_t uid, UserLoad& load) {
  if (load.connections + load.waiting + load.identifying < kMaxConnectionsPerUser) return true;
  const auto now = Clock::now();
  if (now - load.lastSweep < kSweepInterval) return false;
  load.lastSweep = now;
  std::vector<Held*> mine;
  std::vector<struct pollfd> fds;
  for (auto& [token, held] : connections_) {
    if (held.uid != uid || !held.counted) continue;
    mine.push_back(&held);
    fds.push_back(pollfd{held.connection->fd(), POLLRDHUP, 0});
  }
  if (::poll(fds.data(), fds.size(), 0) <= 0) return false;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) continue;
    mine[i]->counted = false;
    --load.connections;
  }
  return load.connections + load.waiting + load.identifying < kMaxConnectionsPerUser;
}

// Every refusal is silent: the socket is closed and nothing is logged.
void Listener::Impl::admit(UniqueFd socket) {
  auto creds = sock::peerCredentials(socket.get());
  if (!creds) return;
  const std::uint32_t uid = creds->uid;
  {
    std::lock_guard lock(mutex_);
    UserLoad& load = userLocked(uid);
    std::size_t identifying = 0;
    for (const auto& [id, l] : users_) identifying += static_cast<std::size_t>(l.identifying);
    const std::size_t held =
        kDescriptorsPerPeer * (connections_.size() + pending_.size() + identifying);
    if (load.identifying >= kMaxIdentifyingPerUser || !roomForConnectionLocked(uid, load) ||
        held + kDescriptorsPerPeer > descriptorLimit_) {
      releaseUserLocked(uid);
      return;
    }
    ++load.identifying;
  }
  auto connecting = identifier_.connecting(socket.get(), *creds, options_.forcePidfdFallback);
  if (!connecting && (connecting.error().code == EMFILE || connecting.error().code == ENFILE)) {
    // Out of descriptors with a peer in hand: identify it with the spare ones, and take no other
    // before they are back.
    {
      std::lock_guard lock(spareMutex_);
      spare_.clear();
      connecting = identifier_.connecting(socket.get(), *creds, options_.forcePidfdFallback);
    }
    pauseAccepting();
  }
  if (!connecting) return identified(uid, UniqueFd(), connecting.error());
  if (connecting->imageChecked) {
    return identified(uid, std::move(socket), identifier_.connected(std::move(*connecting)));
  }
  // Its running image is still to be looked at: that is for an admission thread.
  auto carried = std::make_shared<std::pair<UniqueFd, PeerIdentifier::Connecting>>(
      std::move(socket), std::move(*connecting));
  admissionPool_.post([this, uid, carried] {
    identified(uid, std::move(carried->first), identifier_.connected(std::move(carried->second)));
  });
}

void Listener::Impl::identified(std::uint32_t uid, UniqueFd socket, Result<PeerProcess> peer) {
  {
    std::lock_guard lock(mutex_);
    --userLocked(uid).identifying;
    releaseUserLocked(uid);
  }
  if (!peer) return;
  Pending p;
  p.uid = uid;
  p.peer = std::move(*peer);
  p.socket = std::move(socket);
  p.pidfdCapable = !options_.forcePidfdFallback && sock::kernelStampsPidfds();
  decide(std::move(p));
}

void Listener::Impl::identifyWriter(std::shared_ptr<ServerConnection> conn, WriterToIdentify who) {
  auto carried = std::make_shared<WriterToIdentify>(std::move(who));
  admissionPool_.post([this, conn = std::move(conn), carried]() mutable {
    auto peer = carried->pidfd ? identifier_.sender(std::move(carried->pidfd))
                               : identifier_.again(carried->pid, std::move(carried->procDir));
    if (!peer) return conn->writerDecided(std::nullopt);
    Pending p;
    p.uid = carried->uid;
    p.peer = std::move(*peer);
    p.writerOf = std::move(conn);
    decide(std::move(p));
  });
}

void Listener::Impl::decide(Pending p) {
  if (auto verdict = admission_.cachedVerdict(p.peer.euid, p.peer.exe)) {
    return deliver(std::move(p), *verdict);
  }
  std::unique_lock lock(mutex_);
  if (!enqueueLocked(p)) {
    lock.unlock();
    return deliver(std::move(p), false);
  }
  lock.unlock();
  armHousekeeping();
}

bool Listener::Impl::enqueueLocked(Pending& p) {
  UserLoad& load = userLocked(p.uid);
  if (load.waiting >= kMaxWaitingPerUser || pending_.size() >= kMaxWaiting) {
    releaseUserLocked(p.uid);
    return false;
  }
  ++load.waiting;
  p.deadline = Clock::now() + std::chrono::milliseconds(options_.unadmittedIdleTimeoutMs);
  pending_.push_back(std::move(p));
  startChecksLocked();
  return true;
}

// Starts checks of waiting peers, in arrival order, one per user at a time.
void Listener::Impl::startChecksLocked() {
  for (auto it = pending_.begin(); it != pending_.end() && checks_ < kMaxChecks;) {
    UserLoad& load = userLocked(it->uid);
    if (load.checking > 0) {
      ++it;
      continue;
    }
    ++load.checking;
    ++checks_;
    auto p = std::make_shared<Pending>(std::move(*it));
    it = pending_.erase(it);
    admissionPool_.post([this, p] { runCheck(p); });
  }
}

void Listener::Impl::runCheck(std::shared_ptr<Pending> p) {
  const bool admitted =
      Clock::now() <= p->deadline && admission_.verify(p->peer) && Clock::now() <= p->deadline;
  {
    std::lock_guard lock(mutex_);
    UserLoad& load = userLocked(p->uid);
    --load.checking;
    --load.waiting;
    --checks_;
    startChecksLocked();
    releaseUserLocked(p->uid);
  }
  deliver(std::move(*p), admitted);
}

void Listener::Impl::deliver(Pending p, bool admitted) {
  if (p.writerOf) {
    auto conn = std::move(p.writerOf);
    return conn->writerDecided(admitted ? std::optional<PeerProcess>(std::move(p.peer))
                                        : std::nullopt);
  }
  if (admitted) offer(std::move(p.socket), std::move(p.peer), p.pidfdCapable);
}

void Listener::Impl::offer(UniqueFd socket, PeerProcess peer, bool pidfdCapable) {
  // A client speaks only after the hello. Bytes already queued may have been written by
  // whatever the process ran before the executable just checked: refuse them.
  if (sock::queuedBytes(socket.get()) != 0) return;
  const std::uint32_t uid = peer.euid;
  std::shared_ptr<ServerConnection> conn;
  {
    std::lock_guard lock(mutex_);
    UserLoad& load = userLocked(uid);
    if (!roomForConnectionLocked(uid, load)) return releaseUserLocked(uid);
    ++load.connections;
    const std::uint64_t token = nextToken_++;
    conn = std::make_shared<ServerConnection>(context_, token, std::move(socket), std::move(peer),
                                              pidfdCapable);
    connections_.emplace(token, Held{conn, uid});
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
  auto it = connections_.find(token);
  if (it == connections_.end()) return;
  const std::uint32_t uid = it->second.uid;
  if (it->second.counted) --userLocked(uid).connections;
  connections_.erase(it);
  frameDeadlines_.erase(token);
  releaseUserLocked(uid);
}

void Listener::Impl::partialFrame(std::uint64_t token, bool partial) {
  {
    std::lock_guard lock(mutex_);
    if (!partial) {
      frameDeadlines_.erase(token);
      return;
    }
    frameDeadlines_[token] = Clock::now() + kPartialFrameDeadline;
  }
  armHousekeeping();
}

void Listener::Impl::armHousekeeping() {
  struct itimerspec period {};
  period.it_value.tv_nsec = kHousekeepingPeriodNs;
  ::timerfd_settime(timerFd_.get(), 0, &period, nullptr);
}

// Resumes accepting after a pause, drops peers that waited too long for their verdict and
// connections whose frame is overdue.
void Listener::Impl::housekeeping() {
  std::uint64_t expirations;
  (void)!::read(timerFd_.get(), &expirations, sizeof(expirations));
  const auto now = Clock::now();
  bool again = false;
  bool resumeAccepting = false;
  std::deque<Pending> expired;
  std::vector<std::shared_ptr<ServerConnection>> overdue;
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
        --userLocked(it->uid).waiting;
        releaseUserLocked(it->uid);
        expired.push_back(std::move(*it));
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = frameDeadlines_.begin(); it != frameDeadlines_.end();) {
      if (now <= it->second) {
        ++it;
        continue;
      }
      if (auto c = connections_.find(it->first); c != connections_.end()) {
        overdue.push_back(c->second.connection);
      }
      it = frameDeadlines_.erase(it);
    }
    again = again || !pending_.empty() || !frameDeadlines_.empty();
  }
  for (auto& p : expired) deliver(std::move(p), false);
  for (auto& conn : overdue) conn->close();
  if (resumeAccepting) {
    // Not before the spare descriptors are back; acceptOne pauses again if they are not.
    takeSpareDescriptors();
    (void)pool_.addShared(listenFd_.get(), kListenToken);
  }
  if (again) armHousekeeping();
  (void)admissionPool_.rearm(timerFd_.get(), kTimerToken);
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
