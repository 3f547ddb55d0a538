// Moving bytes, descriptors and the kernel's sender stamps over a connected Unix stream socket.
// Shared by the daemon and the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/ipc/wire_format.h"
#include "platform/result.h"
#include "platform/unique_fd.h"

namespace tamsel::ipc::sock {

// The writer of received bytes, as the kernel stamped them (real ids, pid in our namespace).
struct SenderStamp {
  std::int32_t pid = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

struct Received {
  enum class Kind { kData, kEndOfStream, kWouldBlock };
  Kind kind = Kind::kWouldBlock;
  std::size_t bytes = 0;
  std::optional<SenderStamp> sender;  // present when the socket passes credentials
  UniqueFd senderPidfd;               // present when the socket passes pidfds and the kernel could
  bool controlTruncated = false;      // the kernel dropped control data that did not fit
  std::size_t fdsReceived = 0;        // descriptors that came with the bytes
};

// One recvmsg, non-blocking unless wait is set. Descriptors that came along are appended to fds,
// or closed at once when fds is null. Every descriptor is received close-on-exec.
Result<Received> receive(int fd, std::span<char> buffer, wire::FdQueue* fds, bool wait = false);

// Writes all of data, the descriptors riding on its first byte. Waits for room at most
// timeoutMs between progress (the socket may be non-blocking). Never raises SIGPIPE.
Status sendAll(int fd, std::string_view data, std::span<const int> fds, int timeoutMs);

// Asks the kernel to stamp every message with the sender's credentials, and with a pidfd of the
// sender unless withPidfd is false or the kernel cannot (then returns false for pidfds).
Result<bool> enablePeerStamps(int fd, bool withPidfd);

// The process that connected fd and its ids, as the kernel recorded them at connect().
Result<SenderStamp> peerCredentials(int fd);

// Bytes received on fd and not read yet; -1 when that cannot be told.
int queuedBytes(int fd);

// Whether this kernel can stamp messages with pidfds (Linux 6.5 and later); asked once.
bool kernelStampsPidfds();

}  // namespace tamsel::ipc::sock
