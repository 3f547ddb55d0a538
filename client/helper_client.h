// The client library: the helper's eleven operations over one admitted connection, each in a
// blocking form and a callback form, with typed replies.
//
//   auto helper = tamsel::client::HelperClient::connect();
//   if (!helper) { /* helper->error(): not running, or this program is not admitted */ }
//   auto pong = helper->ping();                       // Result<PingReply>
//   auto st = helper->installResolver("test", "127.0.0.1", 53);
//   if (st && !st->ok) { /* refused: st->message, st->code */ }
//
// A Result error means the call did not complete (no connection, protocol error, the helper
// ended the connection); a reply, even a refusal, is a value. Callbacks run once, on the
// connection's reader thread (at once on the calling thread when the request cannot be sent);
// never call a blocking form from inside a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/identity.h"
#include "platform/ipc/value.h"
#include "platform/result.h"
#include "platform/unique_fd.h"
#include "service/helper_protocol.h"

namespace tamsel::client {

// The reply shapes are the daemon's own values (service/reply_shapes.h).
using tamsel::LogsReply;
using tamsel::PingReply;
using tamsel::SocketReply;
using tamsel::StatusReply;
using tamsel::VersionReply;

template <typename T>
using Callback = std::function<void(Result<T>)>;

class ClientConnection;

class HelperClient {
 public:
  // How long connect waits for the helper to admit this process.
  static constexpr int kDefaultAdmissionTimeoutMs = 15'000;

  // Connects and waits until the helper has admitted this process. A client whose code
  // signature does not satisfy the helper's requirement gets an error (EACCES).
  static Result<HelperClient> connect(std::string_view socketPath = kServiceSocketPath,
                                      int admissionTimeoutMs = kDefaultAdmissionTimeoutMs);

  HelperClient(HelperClient&&) noexcept;
  HelperClient& operator=(HelperClient&&) noexcept;
  ~HelperClient();

  Result<StatusReply> installResolver(std::string_view tld, std::string_view listenAddress,
                                      std::int64_t port);
  Result<StatusReply> removeResolver(std::string_view tld);
  Result<StatusReply> removeTrustedCACertificate(std::string_view certPath);
  Result<StatusReply> reconcileSystemCACertificate(std::string_view certPath);
  Result<StatusReply> reconcileInstalledCLI();
  Result<StatusReply> removeInstalledCLI();
  Result<SocketReply> openListeningSocket(std::int64_t family, std::uint16_t port);
  Result<VersionReply> helperVersion();
  Result<StatusReply> chownTamselDataDir(std::string_view path, std::int64_t toUid);
  Result<LogsReply> fetchHelperLogsSinceISO(std::string_view since);
  Result<PingReply> ping();

  void installResolver(std::string_view tld, std::string_view listenAddress, std::int64_t port,
                       Callback<StatusReply> reply);
  void removeResolver(std::string_view tld, Callback<StatusReply> reply);
  void removeTrustedCACertificate(std::string_view certPath, Callback<StatusReply> reply);
  void reconcileSystemCACertificate(std::string_view certPath, Callback<StatusReply> reply);
  void reconcileInstalledCLI(Callback<StatusReply> reply);
  void removeInstalledCLI(Callback<StatusReply> reply);
  void openListeningSocket(std::int64_t family, std::uint16_t port, Callback<SocketReply> reply);
  void helperVersion(Callback<VersionReply> reply);
  void chownTamselDataDir(std::string_view path, std::int64_t toUid, Callback<StatusReply> reply);
  void fetchHelperLogsSinceISO(std::string_view since, Callback<LogsReply> reply);
  void ping(Callback<PingReply> reply);

  // Any operation by selector. Arguments of an operation in the protocol table must have its
  // kinds; the reply's values are checked against its reply shape.
  Result<std::vector<ipc::Value>> call(std::string_view selector, std::vector<ipc::Value> args);
  void call(std::string_view selector, std::vector<ipc::Value> args,
            Callback<std::vector<ipc::Value>> reply);

 private:
  explicit HelperClient(std::unique_ptr<ClientConnection> connection);
  template <typename T>
  Result<T> callTyped(Operation op, std::vector<ipc::Value> args);
  template <typename T>
  void callTyped(Operation op, std::vector<ipc::Value> args, Callback<T> reply);

  std::unique_ptr<ClientConnection> connection_;
};

}  // namespace tamsel::client
