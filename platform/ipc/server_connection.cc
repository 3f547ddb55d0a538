#include "platform/ipc/server_connection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <utility>

namespace tamsel::ipc {
namespace {

// Bytes read per recvmsg: one whole request frame fits.
constexpr std::size_t kReadBytes = wire::kHeaderBytes + wire::kMaxRequestBody;

std::array<char, kReadBytes>& readBuffer() {
  thread_local std::array<char, kReadBytes> buffer;
  return buffer;
}

// How long a thread that has just answered a request waits on the same connection for the next
// one before returning to the pool.
constexpr long kLingerMicroseconds = 2'000;

// Processes that may write on one connection, counting the one that connected.
constexpr std::size_t kMaxWriters = 8;

}  // namespace

ServerConnection::ServerConnection(ConnectionContext& context, std::uint64_t token, UniqueFd socket,
                                   PeerProcess connector, bool pidfdCapable)
    : context_(context),
      token_(token),
      channel_(std::make_shared<Responder::Channel>(std::move(socket))),
      pidfdCapable_(pidfdCapable),
      connector_{connector.pid, connector.euid, connector.egid} {
  writers_.push_back(Writer{std::move(connector), std::nullopt});
}

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
  serve();
}

void ServerConnection::serve() {
  auto& buffer = readBuffer();
  bool wait = false;
  for (;;) {
    if (wait && !lingerSet_) {
      // Lingering waits in recvmsg for at most this long.
      const struct timeval linger { 0, kLingerMicroseconds };
      lingerSet_ =
          ::setsockopt(channel_->fd(), SOL_SOCKET, SO_RCVTIMEO, &linger, sizeof(linger)) == 0;
      wait = lingerSet_;
    }
    auto received = sock::receive(channel_->fd(), buffer, nullptr, wait);
    if (!received || received->kind == sock::Received::Kind::kEndOfStream ||
        received->controlTruncated) {
      return teardown();
    }
    // Nothing more, or nothing within the linger time: back to the pool.
    if (received->kind == sock::Received::Kind::kWouldBlock) break;
    const std::string_view bytes(buffer.data(), received->bytes);
    const Verdict verdict = checkWriter(*received, bytes);
    received->senderPidfd.reset();
    switch (verdict) {
      case Verdict::kRefused:
        return teardown();
      case Verdict::kIdentifying:
        // Not re-armed: writerDecided carries on. Nothing of this connection may be touched now.
        return;
      case Verdict::kStampsOn:
        if (!channel_->sendHello()) return teardown();
        wait = context_.pool.mayLinger();
        continue;
      case Verdict::kAdmitted:
        break;
    }
    if (!consume(bytes, received->sender->pid)) return teardown();
    // Most likely drained. A peer in a conversation sends its next request soon: wait for it
    // on this thread a moment (the socket's receive timeout) instead of a trip through epoll,
    // but only while another thread is free to serve everyone else.
    const bool drained = received->bytes < buffer.size() && assembler_.empty();
    if (drained && !context_.pool.mayLinger()) break;
    wait = drained;
  }
  if (channel_->closed() || !context_.pool.rearm(channel_->fd(), token_)) teardown();
  // Nothing of this connection may be touched past the re-arm: another thread may own it now.
}

bool ServerConnection::consume(std::string_view bytes, std::int32_t writerPid) {
  // A frame is written by one process: bytes of another one cannot finish it.
  if (!assembler_.empty() && writerPid != partialFramePid_) return false;
  assembler_.append(bytes);
  wire::FdQueue none;  // clients hand the daemon no descriptors; any that came are closed
  for (;;) {
    auto frame = assembler_.next(none);
    if (!frame) {
      channel_->fail(0, frame.error().description);
      return false;
    }
    if (!frame->has_value()) break;
    if (std::holds_alternative<wire::Introduce>(**frame)) {
      // An admitted writer introducing itself again: nothing to check.
      if (!channel_->sendHello()) return false;
      continue;
    }
    dispatch(std::get<Request>(std::move(**frame)));
    if (channel_->closed()) return false;
  }
  partialFramePid_ = writerPid;
  notePartialFrame();
  return true;
}

void ServerConnection::notePartialFrame() {
  const bool partial = !assembler_.empty();
  if (partial == partialFrame_) return;
  partialFrame_ = partial;
  context_.partialFrame(token_, partial);
}

ServerConnection::Verdict ServerConnection::checkWriter(sock::Received& received,
                                                        std::string_view bytes) {
  if (!received.sender) return Verdict::kRefused;
  const sock::SenderStamp stamp = *received.sender;
  for (std::size_t i = 0; i < writers_.size(); ++i) {
    Writer& w = writers_[i];
    if (w.process.pid != stamp.pid) continue;
    const bool sameIds = !w.stamp || (w.stamp->uid == stamp.uid && w.stamp->gid == stamp.gid);
    // The /proc directory answers only while that very process lives, so a live admitted
    // writer's pid cannot have passed to anyone else: these bytes are its own.
    switch (executableNow(w.process)) {
      case ExecutableNow::kSame:
        if (sameIds) {
          w.stamp = stamp;
          speaker_ = i;
          return Verdict::kAdmitted;
        }
        [[fallthrough]];
      case ExecutableNow::kChanged:
        // The same process, now running another file (or under other ids): check it again.
        return identifyOffThread(stamp, i, UniqueFd(), bytes);
      case ExecutableNow::kGone:
        // Whoever carries this pid now is a stranger.
        writers_.erase(writers_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
    }
    break;
  }
  // A stranger's first words must be an introduction and nothing else.
  if (!assembler_.empty() || bytes != wire::kIntroduceFrame || writers_.size() >= kMaxWriters) {
    return Verdict::kRefused;
  }
  // Identified from the kernel's pidfd stamp on the introduction itself, never from a pid number.
  if (received.senderPidfd) {
    return identifyOffThread(stamp, std::nullopt, std::move(received.senderPidfd), bytes);
  }
  // With pidfd stamps on, a missing one means the writer is already gone: its bytes speak for
  // no one. Without them, it cannot be identified at all.
  if (pidfdStamps_ || !pidfdCapable_) return Verdict::kRefused;
  // Switch them on: its next introduction will carry its pidfd.
  auto on = sock::enablePeerStamps(channel_->fd(), /*withPidfd=*/true);
  pidfdStamps_ = on && *on;
  return pidfdStamps_ ? Verdict::kStampsOn : Verdict::kRefused;
}

ServerConnection::Verdict ServerConnection::identifyOffThread(sock::SenderStamp stamp,
                                                              std::optional<std::size_t> writer,
                                                              UniqueFd pidfd,
                                                              std::string_view bytes) {
  WriterToIdentify who;
  who.uid = stamp.uid;
  if (writer) {
    const PeerProcess& process = writers_[*writer].process;
    who.pid = process.pid;
    who.procDir.reset(::fcntl(process.procDir.get(), F_DUPFD_CLOEXEC, 0));
    if (!who.procDir) return Verdict::kRefused;
  } else {
    who.pidfd = std::move(pidfd);
  }
  awaiting_ = Awaiting{writer, std::string(bytes), stamp};
  context_.identify(shared_from_this(), std::move(who));
  return Verdict::kIdentifying;
}

void ServerConnection::writerDecided(std::optional<PeerProcess> process) {
  // Bodies may follow: back to a request thread.
  auto carried = std::make_shared<std::optional<PeerProcess>>(std::move(process));
  context_.pool.post([self = shared_from_this(), carried] {
    Awaiting awaited = std::move(*self->awaiting_);
    self->awaiting_.reset();
    if (!*carried || self->channel_->closed()) return self->teardown();
    if (!awaited.writer) {
      // Anything queued since its introduction may have been written before the image just
      // checked was in place (say, before an exec): refuse rather than guess.
      if (self->writers_.size() >= kMaxWriters || sock::queuedBytes(self->channel_->fd()) != 0) {
        return self->teardown();
      }
      self->writers_.push_back(Writer{std::move(**carried), awaited.stamp});
      if (!self->channel_->sendHello()) return self->teardown();
    } else {
      Writer& w = self->writers_[*awaited.writer];
      w.process = std::move(**carried);
      w.stamp = awaited.stamp;
      self->speaker_ = *awaited.writer;
      if (!self->consume(awaited.bytes, awaited.stamp.pid)) return self->teardown();
    }
    self->serve();
  });
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
  const PeerProcess& speaker = writers_[speaker_].process;
  ScopedRequestPeer scope(PeerCredentials{speaker.pid, speaker.euid, speaker.egid});
  try {
    handler->handle(std::move(request), std::move(responder));
  } catch (...) {
    // A body must not take the daemon down; its responder, if dropped unanswered, has
    // already ended the connection.
    channel_->fail(id, "request failed");
  }
}

}  // namespace tamsel::ipc
