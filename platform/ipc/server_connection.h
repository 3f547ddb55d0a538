// One admitted connection on the daemon's side: reads its bytes, checks who wrote them, and
// delivers its requests, in order, to the exported object.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/peer_identity.h"
#include "platform/ipc/responder_channel.h"
#include "platform/ipc/service.h"
#include "platform/ipc/socket_io.h"
#include "platform/ipc/wire_format.h"
#include "platform/ipc/worker_pool.h"

namespace tamsel::ipc {

class ServerConnection;

// A process to identify for a connection, off the request threads: a newcomer by the pidfd the
// kernel stamped on its introduction, or an admitted writer again after an exec, through its
// /proc directory.
struct WriterToIdentify {
  std::uint32_t uid = 0;  // as stamped: whose budgets it counts against
  std::int32_t pid = 0;   // with procDir
  UniqueFd procDir;
  UniqueFd pidfd;
};

// What every connection of a listener shares; outlives them all.
struct ConnectionContext {
  WorkerPool& pool;                                 // the request threads
  std::function<void(std::uint64_t token)> forget;  // drops the listener's reference
  // Identifies the writer; the answer comes through ServerConnection::writerDecided.
  std::function<void(std::shared_ptr<ServerConnection>, WriterToIdentify)> identify;
  // A frame begun and not finished (true), or finished (false): unfinished ones have a deadline.
  std::function<void(std::uint64_t token, bool partial)> partialFrame;
};

// Who may write on a connection: the process that connected, and any other process that
// introduced itself and was identified from the kernel's pidfd stamp on its introduction. A
// message of an admitted writer costs one statx; pidfd stamps on every message are switched on
// only once a second process introduces itself.
class ServerConnection final : public Connection,
                               public std::enable_shared_from_this<ServerConnection> {
 public:
  // pidfdCapable: the kernel can stamp each message with a pidfd of its writer.
  ServerConnection(ConnectionContext& context, std::uint64_t token, UniqueFd socket,
                   PeerProcess connector, bool pidfdCapable);

  void setExportedObject(std::shared_ptr<const RequestHandler> object) override;
  void resume() override;
  PeerCredentials peer() const override;

  // The delegate's answer. Refused connections end here.
  void offered(bool accepted);
  // An event of the socket; called on one pool thread at a time.
  void onEvent();
  // The identification asked for through the context: the process, or nothing when refused.
  void writerDecided(std::optional<PeerProcess> process);
  // Ends the connection from outside (listener going away, a frame past its deadline).
  void close();
  int fd() const { return channel_->fd(); }

 private:
  enum class State { kOffering, kAccepted, kActive, kClosed };

  struct Writer {
    PeerProcess process;
    std::optional<sock::SenderStamp> stamp;  // ids the kernel stamps on its bytes
  };
  enum class Verdict { kAdmitted, kStampsOn, kIdentifying, kRefused };
  // Bytes kept while their writer is identified.
  struct Awaiting {
    std::optional<std::size_t> writer;  // an admitted writer's index; none for a newcomer
    std::string bytes;
    sock::SenderStamp stamp;
  };

  void activateLocked(std::unique_lock<std::mutex>& lock);
  void teardown();
  // Reads and serves until nothing is left, then re-arms (unless waiting for an identification).
  void serve();
  // Who wrote these bytes, and may they speak? Sets speaker_ when admitted.
  Verdict checkWriter(sock::Received& received, std::string_view bytes);
  Verdict identifyOffThread(sock::SenderStamp stamp, std::optional<std::size_t> writer,
                            UniqueFd pidfd, std::string_view bytes);
  // Feeds bytes of the speaker to the frames and serves every complete one; false: it is over.
  bool consume(std::string_view bytes, std::int32_t writerPid);
  void notePartialFrame();
  void dispatch(Request request);

  ConnectionContext& context_;
  const std::uint64_t token_;
  const std::shared_ptr<Responder::Channel> channel_;
  const bool pidfdCapable_;

  mutable std::mutex mutex_;  // guards state_, resumeRequested_, exported_
  State state_ = State::kOffering;
  bool resumeRequested_ = false;
  std::shared_ptr<const RequestHandler> exported_;
  const PeerCredentials connector_;

  // Touched only by the thread handling the current event.
  std::vector<Writer> writers_;  // [0] connected; more after introductions
  std::size_t speaker_ = 0;      // the writer of the bytes being handled
  bool pidfdStamps_ = false;     // every message now carries its writer's pidfd
  std::optional<Awaiting> awaiting_;
  std::int32_t partialFramePid_ = 0;
  bool partialFrame_ = false;
  bool lingerSet_ = false;  // the socket's receive timeout is the linger time
  wire::FrameAssembler assembler_{wire::Side::kDaemon};
};

}  // namespace tamsel::ipc
