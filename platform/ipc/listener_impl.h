// The listener's machinery: accepting, establishing each peer's identity, admitting it by the
// code signature of its executable, offering it to the delegate, and the budgets that keep any
// one user from costing the daemon more than a bounded share.
//
// Two pools of threads. The request pool serves admitted connections and accepts new ones, doing
// for a new peer only what never waits (a warm peer is admitted right there). Whatever a peer can
// make slow (looking at its running image, a cold hash, identifying a newcomer) is left to the
// admission pool, a bounded number of its threads per user. The thread that calls run() only
// waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ipc/code_admission.h"
#include "platform/ipc/peer_identity.h"
#include "platform/ipc/server_connection.h"
#include "platform/ipc/service.h"
#include "platform/ipc/worker_pool.h"

namespace tamsel::ipc {

class Listener::Impl {
 public:
  Impl(std::string_view serviceName, ListenerOptions options);
  ~Impl();

  void setDelegate(ListenerDelegate* delegate);
  void setRequirement(std::string_view text) { admission_.setRequirement(text); }
  void resume();
  void run();
  void stop();

  const Status& status() const { return status_; }

 private:
  friend struct ListenerTesting;
  using Clock = std::chrono::steady_clock;

  // What one user holds or has under way.
  struct UserLoad {
    int identifying = 0;  // connecting processes being identified
    int waiting = 0;      // identified, waiting for a signature check (or in one)
    int checking = 0;     // signature checks running
    int connections = 0;  // admitted connections, less those found hung up
    std::chrono::steady_clock::time_point lastSweep;
    bool idle() const { return identifying + waiting + checking + connections == 0; }
  };

  // An identified peer whose executable waits for a signature check: a connecting process
  // (socket set) or a writer of an admitted connection (writerOf set).
  struct Pending {
    std::uint32_t uid = 0;
    PeerProcess peer;
    Clock::time_point deadline;
    UniqueFd socket;
    bool pidfdCapable = false;
    std::shared_ptr<ServerConnection> writerOf;
  };

  void onAdmissionEvent(std::uint64_t token);
  void onRequestEvent(std::uint64_t token);
  void acceptOne();
  void pauseAccepting();
  void admit(UniqueFd socket);
  void identified(std::uint32_t uid, UniqueFd socket, Result<PeerProcess> peer);
  void identifyWriter(std::shared_ptr<ServerConnection> conn, WriterToIdentify who);
  // Decides on an identified peer: at once from the cache, or after a signature check.
  void decide(Pending p);
  bool enqueueLocked(Pending& p);
  void startChecksLocked();
  void runCheck(std::shared_ptr<Pending> p);
  void deliver(Pending p, bool admitted);
  void offer(UniqueFd socket, PeerProcess peer, bool pidfdCapable);
  void forget(std::uint64_t token);
  void partialFrame(std::uint64_t token, bool partial);
  void armHousekeeping();
  void housekeeping();
  UserLoad& userLocked(std::uint32_t uid) { return users_[uid]; }
  void releaseUserLocked(std::uint32_t uid);
  bool roomForConnectionLocked(std::uint32_t uid, UserLoad& load);

  ListenerOptions options_;
  Status status_;
  UniqueFd listenFd_;
  std::string boundPath_;  // unlinked on destruction; empty for a passed socket
  UniqueFd timerFd_;
  std::atomic<bool> resumed_{false};
  CodeAdmission admission_;
  PeerIdentifier identifier_;
  WorkerPool pool_;           // requests of admitted connections
  WorkerPool admissionPool_;  // accepting, identifying, signature checks
  ConnectionContext context_;
  std::size_t descriptorLimit_ = 0;  // the most this process may hold, less a reserve
  // Descriptors held back, given up when a peer already accepted cannot be identified for want of
  // descriptors, and taken again afterwards.
  std::mutex spareMutex_;
  std::vector<UniqueFd> spare_;
  void takeSpareDescriptors();

  std::mutex delegateMutex_;
  ListenerDelegate* delegate_ = nullptr;

  std::mutex mutex_;  // guards everything below
  struct Held {
    std::shared_ptr<ServerConnection> connection;
    std::uint32_t uid = 0;
    bool counted = true;  // in its user's connections
  };
  std::unordered_map<std::uint64_t, Held> connections_;
  std::uint64_t nextToken_;
  std::unordered_map<std::uint32_t, UserLoad> users_;
  std::deque<Pending> pending_;
  int checks_ = 0;
  std::map<std::uint64_t, Clock::time_point> frameDeadlines_;
  std::optional<Clock::time_point> acceptPausedUntil_;

  std::mutex runMutex_;
  std::condition_variable runCv_;
  bool stopped_ = false;
};

}  // namespace tamsel::ipc
