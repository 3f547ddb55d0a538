// Shared by the service-layer tests: a listener in a temporary directory, a handler that records
// what reaches it, and the raw peer.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ipc/service.h"
#include "platform/ipc/socket_io.h"
#include "platform/ipc/wire_format.h"
#include "platform/testing/raw_peer.h"
#include "platform/testing/scratch_dir.h"

namespace tamsel::ipc::testing {

// Opens and closes when told: lets a test hold bodies inside the handler.
class Gate {
 public:
  void open() {
    std::lock_guard lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Selectors it understands:
//   echo   replies with its arguments
//   peer   replies (int64 pid, int64 uid, int64 gid) of currentConnectionPeer(), or nothing
//   block  waits for the gate, then replies true
//   drop   drops its responder unanswered
//   fail   answers with a protocol error
//   pipe   replies with the read end of a fresh pipe
//   self   replies with the handler object's address
// anything else: protocol error, as the service's dispatch does for an unknown selector.
class RecordingHandler final : public RequestHandler {
 public:
  void handle(Request request, Responder responder) const override {
    calls.fetch_add(1);
    const std::string& sel = request.selector;
    if (sel == "echo") return std::move(responder).reply(std::move(request.args));
    if (sel == "peer") {
      std::vector<Value> out;
      if (auto p = currentConnectionPeer()) {
        out.emplace_back(std::int64_t{p->pid});
        out.emplace_back(std::int64_t{p->uid});
        out.emplace_back(std::int64_t{p->gid});
      }
      return std::move(responder).reply(std::move(out));
    }
    if (sel == "block") {
      blocked.fetch_add(1);
      gate.wait();
      std::vector<Value> out;
      out.emplace_back(true);
      return std::move(responder).reply(std::move(out));
    }
    if (sel == "self") {
      std::vector<Value> out;
      out.emplace_back(static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(this)));
      return std::move(responder).reply(std::move(out));
    }
    if (sel == "drop") return;
    if (sel == "fail") return std::move(responder).protocolError("failing on purpose");
    if (sel == "pipe") {
      int p[2];
      if (::pipe2(p, O_CLOEXEC) != 0) return std::move(responder).protocolError("pipe");
      UniqueFd readEnd(p[0]), writeEnd(p[1]);
      std::vector<Value> out;
      out.emplace_back(FdValue{std::move(readEnd)});
      return std::move(responder).reply(std::move(out));
    }
    std::move(responder).protocolError("unknown selector");
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
    lastPeerPid = connection.peer().pid;
    connection.setExportedObject(handler_);
    connection.resume();
    return accept.load();
  }
  std::atomic<int> offers{0};
  std::atomic<bool> accept{true};
  std::atomic<std::int32_t> lastPeerPid{0};

 private:
  std::shared_ptr<const RequestHandler> handler_;
};

// Descriptors this process holds right now.
inline int openFdCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (auto* e = ::readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
    --n;  // the directory's own descriptor
  }
  return n;
}

// Polls cond until it holds or the time is up.
template <typename F>
bool eventually(F cond, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return cond();
}

}  // namespace tamsel::ipc::testing
