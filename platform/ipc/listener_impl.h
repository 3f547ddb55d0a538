// The listener's machinery: accepting, establishing each peer's identity, admitting it by the
// code signature of its executable, offering it to the delegate. Everything runs on an elastic
// worker pool; the thread that calls run() only waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

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
  CodeAdmission& admission() { return admission_; }
  std::size_t connectionCount();
  int workerCount() const { return pool_.threadCount(); }

 private:
  using Clock = std::chrono::steady_clock;

  // A peer whose executable is being checked, or waits for it.
  struct Pending {
    UniqueFd socket;
    PeerProcess peer;
    bool pidfdCapable = false;
    Clock::time_point deadline;
  };

  void onEvent(std::uint64_t token);
  void acceptOne();
  void admit(UniqueFd socket);
  void verifyPending();
  void offer(UniqueFd socket, PeerProcess peer, bool pidfdCapable);
  void forget(std::uint64_t token);
  void armHousekeeping();
  void housekeeping();

  ListenerOptions options_;
  Status status_;
  UniqueFd listenFd_;
  std::string boundPath_;  // unlinked on destruction; empty for a passed socket
  UniqueFd timerFd_;
  std::atomic<bool> resumed_{false};
  CodeAdmission admission_;
  WorkerPool pool_;
  ConnectionContext context_;

  std::mutex delegateMutex_;
  ListenerDelegate* delegate_ = nullptr;

  std::mutex mutex_;  // guards everything below
  std::unordered_map<std::uint64_t, std::shared_ptr<ServerConnection>> connections_;
  std::uint64_t nextToken_;
  std::deque<Pending> pending_;
  int verifiers_ = 0;
  std::optional<Clock::time_point> acceptPausedUntil_;

  std::mutex runMutex_;
  std::condition_variable runCv_;
  bool stopped_ = false;
};

}  // namespace tamsel::ipc
