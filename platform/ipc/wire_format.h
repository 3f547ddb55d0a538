// The frames that cross a service connection: encoding to bytes and decoding from them. Pure
// byte work, no sockets: descriptors travel beside the bytes (SCM_RIGHTS) and meet their
// frame here through an FdQueue. The layout is documented in docs/WIRE.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/ipc/value.h"
#include "platform/result.h"

namespace tamsel::ipc::wire {

inline constexpr std::uint32_t kProtocolVersion = 1;
inline constexpr std::size_t kHeaderBytes = 4;
// Largest body of a frame sent to the daemon, and of one sent to a client (a log export may be
// large).
inline constexpr std::uint32_t kMaxRequestBody = 64 * 1024;
inline constexpr std::uint32_t kMaxReplyBody = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxValues = 16;
inline constexpr std::size_t kMaxSelectorBytes = 255;
inline constexpr std::size_t kMaxReasonBytes = 1024;
// Most descriptors one frame may carry.
inline constexpr std::size_t kMaxFrameFds = 16;

enum class FrameType : std::uint8_t {
  kHello = 1,
  kRequest = 2,
  kReply = 3,
  kError = 4,
  kIntroduce = 5
};

// Sent by the daemon once a connection is admitted; a client sends nothing before it.
struct Hello {
  std::uint32_t version = kProtocolVersion;
};

// Sent by a process other than the one that opened the connection (a child it forked, say)
// before its first request; it waits for a Hello in answer.
struct Introduce {};

struct Reply {
  std::uint64_t id = 0;
  std::vector<Value> values;
};

// The daemon's last word on a connection: why it is ending it. id is the request concerned, or
// 0 when none is.
struct ErrorFrame {
  std::uint64_t id = 0;
  std::string reason;
};

using Frame = std::variant<Hello, Request, Reply, ErrorFrame, Introduce>;

// Which side is decoding: the daemon accepts requests (with strict strings) and introductions;
// a client accepts hellos, replies and errors.
enum class Side { kDaemon, kClient };

std::uint32_t maxBody(Side receiver);

// Descriptors that arrived with the bytes, in arrival order.
using FdQueue = std::deque<UniqueFd>;

// Appends one whole frame (header and body) to out. Descriptors of FdValues are appended to
// fds in frame order (borrowed: the values keep owning them). Fails, leaving out unchanged,
// when the frame would break a limit.
Status appendRequest(std::string& out, const Request& request, std::vector<int>& fds);
Status appendReply(std::string& out, std::uint64_t id, const std::vector<Value>& values,
                   std::vector<int>& fds);
void appendError(std::string& out, std::uint64_t id, std::string_view reason);
void appendHello(std::string& out);
void appendIntroduce(std::string& out);
// The whole encoding of an Introduce frame.
inline constexpr std::string_view kIntroduceFrame{"\x01\x00\x00\x00\x05", 5};
// A newcomer introduces itself, and waits for the Hello, this many times: the first introduction
// may only switch on the kernel's pidfd stamps for the connection; a stamped one identifies it.
inline constexpr int kIntroductionRounds = 2;

// The whole size (header included) of the frame that data starts with: 0 while the header is
// incomplete; an error when the announced body is empty or larger than limit.
Result<std::size_t> frameSize(std::span<const char> data, std::uint32_t limit);

// Decodes one body (without its header). A present descriptor takes the front of fds; a frame
// that needs more descriptors than fds holds is malformed.
Result<Frame> decodeBody(std::span<const char> body, Side receiver, FdQueue& fds);

// Collects bytes and hands out complete frames.
class FrameAssembler {
 public:
  explicit FrameAssembler(Side receiver) : receiver_(receiver) {}

  void append(std::span<const char> bytes) { buffer_.append(bytes.data(), bytes.size()); }
  // The next complete frame, nothing while one is incomplete, or the error that ends the
  // connection.
  Result<std::optional<Frame>> next(FdQueue& fds);
  bool empty() const { return buffer_.size() == consumed_; }
  std::size_t pendingBytes() const { return buffer_.size() - consumed_; }

 private:
  Side receiver_;
  std::string buffer_;
  std::size_t consumed_ = 0;
};

}  // namespace tamsel::ipc::wire
