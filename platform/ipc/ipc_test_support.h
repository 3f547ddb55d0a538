// Shared by the service-layer tests: a handler that records what reaches it, a delegate that
// exports it, and the raw peer.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "platform/ipc/service.h"
#include "platform/testing/raw_peer.h"
#include "platform/testing/scratch_dir.h"

namespace tamsel::ipc::testing {

// Lets a test hold threads (bodies, checks) until it opens it; it can close again.
class Gate {
 public:
  void open() { set(true); }
  void close() { set(false); }
  void wait() { open_.wait(false); }

 private:
  void set(bool open) {
    open_ = open;
    open_.notify_all();
  }
  std::atomic<bool> open_{false};
};

// Selectors: echo (replies with its arguments), peer (pid, uid, gid of currentConnectionPeer()
// as int64), block (waits for the gate, replies true), drop (drops its responder unanswered),
// pipe (replies with the read end of a fresh pipe); anything else is a protocol error.
class RecordingHandler final : public RequestHandler {
 public:
  void handle(Request request, Responder responder) const override {
    calls.fetch_add(1);
    const std::string& sel = request.selector;
    std::vector<Value> out;
    if (sel == "echo") {
      out = std::move(request.args);
    } else if (auto p = currentConnectionPeer(); sel == "peer" && p) {
      out = values(std::int64_t{p->pid}, std::int64_t{p->uid}, std::int64_t{p->gid});
    } else if (sel == "block") {
      blocked.fetch_add(1);
      gate.wait();
      out = values(true);
    } else if (int fds[2]; sel == "pipe" && ::pipe2(fds, O_CLOEXEC) == 0) {
      // The write end closes once the reply is sent and the daemon's copy of the read end gone.
      UniqueFd writeEnd(fds[1]);
      return std::move(responder).reply(values(FdValue{UniqueFd(fds[0])}));
    } else if (sel == "drop") {
      return;
    } else {
      return std::move(responder).protocolError("refused on purpose");
    }
    std::move(responder).reply(std::move(out));
  }

  mutable std::atomic<int> calls{0};
  mutable std::atomic<int> blocked{0};
  mutable Gate gate;
};

class AcceptingDelegate final : public ListenerDelegate {
 public:
  explicit AcceptingDelegate(std::shared_ptr<const RequestHandler> handler)
      : handler_(std::move(handler)) {}
  bool shouldAcceptNewConnection(Connection& connection) override {
    offers.fetch_add(1);
    connection.setExportedObject(handler_);
    connection.resume();
    return true;
  }
  std::atomic<int> offers{0};

 private:
  std::shared_ptr<const RequestHandler> handler_;
};

// Descriptors this process holds right now.
inline int openFdCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<int>(std::distance(begin(fds), end(fds))) - 1;  // less the iterator's own
}

// Polls cond until it holds or the time is up.
template <typename F>
bool eventually(F cond, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace tamsel::ipc::testing
