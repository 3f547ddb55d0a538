// One admitted connection on the daemon's side: reads its bytes, checks who wrote them, and
// delivers its requests, in order, to the exported object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/ipc/code_admission.h"
#include "platform/ipc/peer_identity.h"
#include "platform/ipc/responder_channel.h"
#include "platform/ipc/service.h"
#include "platform/ipc/socket_io.h"
#include "platform/ipc/wire_format.h"
#include "platform/ipc/worker_pool.h"

namespace tamsel::ipc {

// What every connection of a listener shares; outlives them all.
struct ConnectionContext {
  WorkerPool& pool;
  CodeAdmission& admission;
  std::function<void(std::uint64_t token)> forget;  // drops the listener's reference
};

class ServerConnection final : public Connection {
 public:
  // pidfdStamps: the kernel stamps every message with a pidfd of its writer.
  ServerConnection(ConnectionContext& context, std::uint64_t token, UniqueFd socket,
                   PeerProcess peer, bool pidfdStamps);

  void setExportedObject(std::shared_ptr<const RequestHandler> object) override;
  void resume() override;
  PeerCredentials peer() const override;

  // The delegate's answer. Refused connections end here.
  void offered(bool accepted);
  // An event of the socket; called on one pool thread at a time.
  void onEvent();
  // Ends the connection from outside (listener going away).
  void close();

 private:
  enum class State { kOffering, kAccepted, kActive, kClosed };

  void activateLocked(std::unique_lock<std::mutex>& lock);
  void teardown();
  // Is the writer of these bytes an admitted process? Re-identifies anyone new.
  bool senderAdmitted(sock::Received& received);
  void dispatch(Request request);

  ConnectionContext& context_;
  const std::uint64_t token_;
  const std::shared_ptr<Responder::Channel> channel_;
  const bool pidfdStamps_;

  mutable std::mutex mutex_;  // guards state_, resumeRequested_, exported_
  State state_ = State::kOffering;
  bool resumeRequested_ = false;
  std::shared_ptr<const RequestHandler> exported_;
  const PeerCredentials connector_;

  // Touched only by the thread handling the current event.
  PeerProcess sender_;
  std::optional<sock::SenderStamp> senderStamp_;  // ids the kernel stamps on sender_'s bytes
  std::int32_t partialFramePid_ = 0;
  wire::FrameAssembler assembler_{wire::Side::kDaemon};
};

}  // namespace tamsel::ipc
