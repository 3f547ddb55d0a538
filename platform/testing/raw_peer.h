// Frames (or any bytes) over a real connection to a listener, from the client's side: for the
// tests whose attack is the raw frames themselves, in the unit tests and in the sandbox.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/socket_io.h"
#include "platform/ipc/value.h"
#include "platform/ipc/wire_format.h"
#include "platform/unique_fd.h"

namespace tamsel::ipc::testing {

class RawPeer {
 public:
  explicit RawPeer(const std::string& path)
      : RawPeer(UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))) {
    connectTo(path);
  }
  // Takes a socket made earlier, to connect later (when no descriptor may be left to make one),
  // or one connected elsewhere.
  explicit RawPeer(UniqueFd socket) : fd_(std::move(socket)) {}

  bool connectTo(const std::string& path) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (::connect(fd_.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) {
      return true;
    }
    error = errno;
    fd_.reset();
    return false;
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
    return wire::appendRequest(out, Request{id, std::move(selector), std::move(args)}, fds) &&
           sendBytes(out, fds);
  }

  // The next frame; nothing on the end of the stream, a malformed frame or timeout.
  std::optional<wire::Frame> readFrame(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto f = assembler_.next(fds_);
      if (!f) return std::nullopt;
      if (f->has_value()) return std::move(**f);
      if (!receive(deadline)) return std::nullopt;
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
    while (receive(deadline)) {
    }
    return ended_;
  }

  void close() { fd_.reset(); }

 private:
  // More bytes for the assembler; false on timeout or once the connection has ended.
  bool receive(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (ended_ || left.count() <= 0 || !sock::waitReadable(fd_.get(), int(left.count()))) {
      return false;
    }
    char buf[65536];
    auto r = sock::receive(fd_.get(), buf, &fds_);
    ended_ = !r || r->kind == sock::Received::Kind::kEndOfStream;  // ECONNRESET ends it too
    if (!ended_) assembler_.append({buf, r->bytes});
    return !ended_;
  }

  UniqueFd fd_;
  wire::FrameAssembler assembler_{wire::Side::kClient};
  wire::FdQueue fds_;
  bool ended_ = false;
};

template <typename... V>
std::vector<Value> values(V&&... v) {
  std::vector<Value> out;
  (out.emplace_back(std::forward<V>(v)), ...);
  return out;
}

}  // namespace tamsel::ipc::testing
