// Shared by the service-layer tests: a listener in a temporary directory, a handler that records
// what reaches it, and a raw peer that speaks frames (or garbage) over a real socket.
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

namespace tamsel::ipc::testing {

// A fresh directory under /tmp, removed with whatever sockets it holds.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tamsel-ipc-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    if (DIR* d = ::opendir(path_.c_str())) {
      while (auto* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") ::unlink((path_ + "/" + name).c_str());
      }
      ::closedir(d);
    }
    ::rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

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

// Frames (or any bytes) over a real connection, from the client's side.
class RawPeer {
 public:
  explicit RawPeer(const std::string& path)
      : RawPeer(UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))) {
    connectTo(path);
  }
  // Takes a socket made earlier, to connect later (when no descriptor may be left to make one).
  explicit RawPeer(UniqueFd unconnected) : fd_(std::move(unconnected)) {}

  bool connectTo(const std::string& path) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (::connect(fd_.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
      error = errno;
      fd_.reset();
      return false;
    }
    return true;
  }
  bool connected() const { return fd_.valid(); }
  int error = 0;  // errno of a failed connect
  int fd() const { return fd_.get(); }

  // True once the daemon has admitted us and said so.
  bool waitHello(int timeoutMs = 5000) {
    auto f = readFrame(timeoutMs);
    return f && std::holds_alternative<wire::Hello>(*f);
  }

  // What a process other than the connecting one says before its first request.
  bool introduce(int timeoutMs = 5000) {
    for (int round = 0; round < wire::kIntroductionRounds; ++round) {
      if (!sendBytes(wire::kIntroduceFrame) || !waitHello(timeoutMs)) return false;
    }
    return true;
  }

  bool sendBytes(std::string_view bytes, std::vector<int> fds = {}) {
    return sock::sendAll(fd_.get(), bytes, fds, 5000).ok();
  }

  bool sendRequest(std::uint64_t id, std::string selector, std::vector<Value> args = {}) {
    std::string out;
    std::vector<int> fds;
    Request r{id, std::move(selector), std::move(args)};
    if (!wire::appendRequest(out, r, fds)) return false;
    return sendBytes(out, fds);
  }

  // The next frame; nothing on the end of the stream, a malformed frame or timeout.
  std::optional<wire::Frame> readFrame(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto f = assembler_.next(fds_);
      if (!f) return std::nullopt;
      if (f->has_value()) return std::move(**f);
      if (!waitReadable(deadline)) return std::nullopt;
      char buf[65536];
      auto r = sock::receive(fd_.get(), buf, &fds_);
      if (!r || r->kind == sock::Received::Kind::kEndOfStream) return std::nullopt;
      assembler_.append({buf, r->bytes});
    }
  }

  std::optional<wire::Reply> readReply(int timeoutMs = 5000) {
    auto f = readFrame(timeoutMs);
    if (!f || !std::holds_alternative<wire::Reply>(*f)) return std::nullopt;
    return std::get<wire::Reply>(std::move(*f));
  }

  // True when the daemon ends the connection (an error frame may come first) within the time.
  bool endsWithin(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (!waitReadable(deadline)) return false;
      char buf[65536];
      auto r = sock::receive(fd_.get(), buf, nullptr);
      if (!r) return true;  // ECONNRESET and friends
      if (r->kind == sock::Received::Kind::kEndOfStream) return true;
    }
  }

  void close() { fd_.reset(); }

 private:
  bool waitReadable(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      struct pollfd p {
        fd_.get(), POLLIN, 0
      };
      const int n = ::poll(&p, 1, static_cast<int>(left.count()));
      if (n > 0) return true;
      if (n == 0) return false;
    }
  }

  UniqueFd fd_;
  wire::FrameAssembler assembler_{wire::Side::kClient};
  wire::FdQueue fds_;
};

template <typename... V>
std::vector<Value> values(V&&... v) {
  std::vector<Value> out;
  (out.emplace_back(std::forward<V>(v)), ...);
  return out;
}

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
