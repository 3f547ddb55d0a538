#include <sys/socket.h>

#include <utility>

#include "platform/ipc/responder_channel.h"
#include "platform/ipc/socket_io.h"
#include "platform/ipc/wire_format.h"

namespace tamsel::ipc {
namespace {

// How long a peer may leave a reply unread before the connection is given up.
constexpr int kSendTimeoutMs = 30'000;
// Encoding buffers are kept per thread; one that grew for a large reply is given back.
constexpr std::size_t kKeptBufferBytes = 256 * 1024;

std::string& sendBuffer() {
  thread_local std::string buffer;
  buffer.clear();
  return buffer;
}

void trim(std::string& buffer) {
  if (buffer.capacity() > kKeptBufferBytes) std::string().swap(buffer);
}

}  // namespace

bool Responder::Channel::sendLocked(std::string_view bytes, const std::vector<int>& fds) {
  if (closed_) return false;
  if (!sock::sendAll(socket_.get(), bytes, fds, kSendTimeoutMs)) {
    closed_ = true;
    ::shutdown(socket_.get(), SHUT_RDWR);
    return false;
  }
  return true;
}

void Responder::Channel::reply(std::uint64_t id, std::vector<Value> values) {
  std::string& buffer = sendBuffer();
  std::vector<int> fds;
  if (!wire::appendReply(buffer, id, values, fds)) {
    fail(id, "reply too large to send");
    return;
  }
  {
    std::lock_guard lock(mutex_);
    sendLocked(buffer, fds);
  }
  trim(buffer);
  // values (and with them the daemon's copies of the descriptors) go away here.
}

void Responder::Channel::fail(std::uint64_t id, std::string_view reason) {
  std::string& buffer = sendBuffer();
  wire::appendError(buffer, id, reason);
  std::lock_guard lock(mutex_);
  sendLocked(buffer, {});
  closed_ = true;
  ::shutdown(socket_.get(), SHUT_RDWR);
}

bool Responder::Channel::sendHello() {
  std::string& buffer = sendBuffer();
  wire::appendHello(buffer);
  std::lock_guard lock(mutex_);
  return sendLocked(buffer, {});
}

void Responder::Channel::close() {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  closed_ = true;
  ::shutdown(socket_.get(), SHUT_RDWR);
}

bool Responder::Channel::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

Responder::Responder(std::shared_ptr<Channel> channel, std::uint64_t requestId)
    : channel_(std::move(channel)), requestId_(requestId) {}

Responder::Responder(Responder&& other) noexcept
    : channel_(std::move(other.channel_)), requestId_(other.requestId_) {}

Responder& Responder::operator=(Responder&& other) noexcept {
  if (this != &other) {
    // Overwriting an unanswered responder drops it.
    if (channel_) channel_->fail(requestId_, "request dropped unanswered");
    channel_ = std::move(other.channel_);
    requestId_ = other.requestId_;
  }
  return *this;
}

Responder::~Responder() {
  if (channel_) channel_->fail(requestId_, "request dropped unanswered");
}

void Responder::reply(std::vector<Value> values) && {
  if (auto channel = std::move(channel_)) channel->reply(requestId_, std::move(values));
}

void Responder::protocolError(std::string reason) && {
  if (auto channel = std::move(channel_)) channel->fail(requestId_, reason);
}

}  // namespace tamsel::ipc
