#include "platform/ipc/server_connection.h"

#include <array>
#include <utility>

namespace tamsel::ipc {
namespace {

// Bytes read per recvmsg: one whole request frame fits.
constexpr std::size_t kReadBytes = wire::kHeaderBytes + wire::kMaxRequestBody;
// Reads per event before the connection goes back to the queue, so one busy peer cannot keep a
// thread for ever.
constexpr int kReadsPerEvent = 16;

std::array<char, kReadBytes>& readBuffer() {
  thread_local std::array<char, kReadBytes> buffer;
  return buffer;
}

}  // namespace

ServerConnection::ServerConnection(ConnectionContext& context, std::uint64_t token, UniqueFd socket,
                                   PeerProcess peer, bool pidfdStamps)
    : context_(context),
      token_(token),
      channel_(std::make_shared<Responder::Channel>(std::move(socket))),
      pidfdStamps_(pidfdStamps),
      connector_{peer.pid, peer.euid, peer.egid},
      sender_(std::move(peer)) {}

void ServerConnection::setExportedObject(std::shared_ptr<const RequestHandler> object) {
  std::lock_guard lock(mutex_);
  exported_ = std::move(object);
}

void ServerConnection::resume() {
  std::unique_lock lock(mutex_);
  if (state_ == State::kOffering) {
    resumeRequested_ = true;
  } else if (state_ == State::kAccepted) {
    activateLocked(lock);
  }
}

PeerCredentials ServerConnection::peer() const {
  return connector_;
}

void ServerConnection::offered(bool accepted) {
  std::unique_lock lock(mutex_);
  if (state_ != State::kOffering) return;
  if (!accepted) {
    lock.unlock();
    teardown();
    return;
  }
  state_ = State::kAccepted;
  if (resumeRequested_) activateLocked(lock);
}

void ServerConnection::activateLocked(std::unique_lock<std::mutex>& lock) {
  state_ = State::kActive;
  lock.unlock();
  // The peer speaks only after this; anything it wrote before was refused at admission.
  if (!channel_->sendHello() || !context_.pool.add(channel_->fd(), token_)) teardown();
}

void ServerConnection::close() {
  channel_->close();
}

void ServerConnection::teardown() {
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::kClosed) return;
    state_ = State::kClosed;
  }
  context_.pool.remove(channel_->fd());
  channel_->close();
  context_.forget(token_);
}

void ServerConnection::onEvent() {
  auto& buffer = readBuffer();
  for (int round = 0; round < kReadsPerEvent; ++round) {
    auto received = sock::receive(channel_->fd(), buffer, nullptr);
    if (!received || received->kind == sock::Received::Kind::kEndOfStream ||
        received->controlTruncated) {
      return teardown();
    }
    if (received->kind == sock::Received::Kind::kWouldBlock) break;
    if (!senderAdmitted(*received)) return teardown();
    received->senderPidfd.reset();

    // A frame is written by one process: bytes of another one cannot finish it.
    const std::int32_t writer = received->sender->pid;
    if (!assembler_.empty() && writer != partialFramePid_) return teardown();
    assembler_.append({buffer.data(), received->bytes});
    wire::FdQueue none;  // clients hand the daemon no descriptors; any that came are closed
    for (;;) {
      auto frame = assembler_.next(none);
      if (!frame) {
        channel_->fail(0, frame.error().description);
        return teardown();
      }
      if (!frame->has_value()) break;
      dispatch(std::get<Request>(std::move(**frame)));
      if (channel_->closed()) return teardown();
    }
    partialFramePid_ = writer;
    // Most likely drained: re-arming reports anything left, without a read that finds nothing.
    if (received->bytes < buffer.size() && assembler_.empty()) break;
  }
  if (channel_->closed() || !context_.pool.rearm(channel_->fd(), token_)) teardown();
  // Nothing of this connection may be touched past the re-arm: another thread may own it now.
}

bool ServerConnection::senderAdmitted(sock::Received& received) {
  if (!received.sender) return false;
  const sock::SenderStamp stamp = *received.sender;
  const bool sameStamp =
      !senderStamp_ || (senderStamp_->uid == stamp.uid && senderStamp_->gid == stamp.gid);
  // While the admitted process lives, no one else can carry its pid, and its /proc directory
  // answers only while it lives; a process that has since run another executable is treated
  // as a newcomer.
  if (stamp.pid == sender_.pid && sameStamp && stillRunsSameExecutable(sender_)) {
    senderStamp_ = stamp;
    return true;
  }
  UniqueFd pidfd = std::move(received.senderPidfd);
  // With pidfd stamps, a missing one means the writer is gone: its bytes speak for no one.
  if (pidfdStamps_ && !pidfd) return false;
  auto identified = identifySender(stamp.pid, std::move(pidfd));
  if (!identified) return false;
  if (!context_.admission.admits(identified->process.exe, identified->exe)) return false;
  sender_ = std::move(identified->process);
  senderStamp_ = stamp;
  return true;
}

void ServerConnection::dispatch(Request request) {
  std::shared_ptr<const RequestHandler> handler;
  {
    std::lock_guard lock(mutex_);
    handler = exported_;
  }
  const std::uint64_t id = request.id;
  Responder responder(channel_, id);
  if (!handler) return std::move(responder).protocolError("no object exported");
  ScopedRequestPeer scope(PeerCredentials{sender_.pid, sender_.euid, sender_.egid});
  try {
    handler->handle(std::move(request), std::move(responder));
  } catch (...) {
    // A body must not take the daemon down; its responder, if dropped unanswered, has
    // already ended the connection.
    channel_->fail(id, "request failed");
  }
}

}  // namespace tamsel::ipc
