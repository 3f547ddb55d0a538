// Frames (or any bytes) over a real connection to a listener, from the client's side: for the
// tests whose attack is the raw frames themselves, in the unit tests and in the sandbox.
#pragma once

#include <poll.h>
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

}  // namespace tamsel::ipc::testing
