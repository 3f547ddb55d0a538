// A bare connection to the daemon's socket that speaks the wire format frame by frame. Tests
// use it where the client library would hide what they need to see or do: holding thousands of
// idle connections, handing a connected socket to another program, timing one reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/identity.h"
#include "platform/ipc/value.h"
#include "platform/ipc/wire_format.h"
#include "platform/unique_fd.h"

namespace tamsel::systemtest {

inline constexpr std::string_view kServiceSocket = kServiceSocketPath;

// What came back for one request.
struct Outcome {
  enum class Kind { kHello, kReply, kError, kClosed, kTimeout, kFailed };
  Kind kind = Kind::kFailed;
  std::uint64_t id = 0;            // kReply, kError: the request it answers
  std::vector<ipc::Value> values;  // kReply
  std::string reason;              // kError: the daemon's reason; otherwise what went wrong
  std::string describe() const;
};

class RawConnection {
 public:
  // Connects (blocking, close-on-exec). Does not wait for the daemon's hello.
  static std::optional<RawConnection> open(std::string* error = nullptr);
  // Takes over a connected socket (for instance one inherited from a parent).
  explicit RawConnection(UniqueFd fd) : fd_(std::move(fd)) {}

  // Waits for the hello frame the daemon sends once it has admitted the peer.
  Outcome awaitHello(int timeoutMs);
  // Sends one request and returns the next frame (or what ended the wait).
  Outcome call(std::string_view selector, std::vector<ipc::Value> args, int timeoutMs);
  // Sends one request without waiting.
  bool send(std::string_view selector, std::vector<ipc::Value> args, std::uint64_t* id = nullptr);
  // The next frame, or what ended the wait.
  Outcome next(int timeoutMs);
  // Tells the daemon that a process other than the connecting one is about to speak, as often
  // as it takes; the last hello once this process is admitted, or what ended the wait.
  Outcome introduce(int timeoutMs);

  int fd() const { return fd_.get(); }
  UniqueFd release() { return std::move(fd_); }

 private:
  bool sendBytes(std::string_view bytes);

  UniqueFd fd_;
  ipc::wire::FrameAssembler assembler_{ipc::wire::Side::kClient};
  ipc::wire::FdQueue fds_;
  std::uint64_t nextId_ = 1;
};

// A string argument.
ipc::Value text(std::string s);

// An argument list (values move only, so no initializer list).
template <typename... V>
std::vector<ipc::Value> arguments(V&&... v) {
  std::vector<ipc::Value> out;
  (out.emplace_back(std::forward<V>(v)), ...);
  return out;
}

// True for a reply whose first value is the boolean YES (ping, a successful status reply).
bool firstValueIsYes(const Outcome& outcome);

// The string value at index of a reply, when it is one and not null.
std::optional<std::string> stringAt(const Outcome& outcome, std::size_t index);

// Opens a connection and waits for its hello; nothing when either fails.
std::optional<RawConnection> openAdmitted(int timeoutMs, std::string* error = nullptr);

}  // namespace tamsel::systemtest
