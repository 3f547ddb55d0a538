// One admitted connection on the daemon's side: reads its bytes, checks who wrote them, and
// delivers its requests, in order, to the exported object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

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

// Who may write on a connection: the process that connected, and any other process that
// introduced itself (an Introduce frame, answered by a Hello) and was then identified exactly and
// admitted. Messages of an admitted writer cost one fstatat; pidfd stamps on every message are
// switched on only once a second process has introduced itself.
class ServerConnection final : public Connection {
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
  // Ends the connection from outside (listener going away).
  void close();

 private:
  enum class State { kOffering, kAccepted, kActive, kClosed };

  struct Writer {
    PeerProcess process;
    std::optional<sock::SenderStamp> stamp;  // ids the kernel stamps on its bytes
  };
  enum class Verdict { kAdmitted, kIntroduction, kRefused };

  void activateLocked(std::unique_lock<std::mutex>& lock);
  void teardown();
  // Who wrote these bytes, and may they speak? Sets speaker_ when admitted.
  Verdict checkWriter(sock::Received& received, std::string_view bytes);
  Verdict admitNewWriter(std::int32_t pid, UniqueFd pidfd, sock::SenderStamp stamp);
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
  std::vector<Writer> writers_;           // [0] connected; more after introductions
  std::size_t speaker_ = 0;               // the writer of the bytes being handled
  std::vector<std::int32_t> introduced_;  // introduced, not identified yet
  bool pidfdStamps_ = false;              // every message now carries its writer's pidfd
  std::int32_t partialFramePid_ = 0;
  wire::FrameAssembler assembler_{wire::Side::kDaemon};
};

}  // namespace tamsel::ipc
