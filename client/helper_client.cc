#include "client/helper_client.h"

#include <cerrno>
#include <span>
#include <utility>

#include "client/client_connection.h"
#include "service/helper_protocol.h"

namespace tamsel::client {
namespace {

using Values = std::vector<ipc::Value>;

template <typename... V>
Values args(V&&... v) {
  Values out;
  out.reserve(sizeof...(v));
  (out.emplace_back(std::forward<V>(v)), ...);
  return out;
}

ipc::StringValue str(std::string_view s) {
  return ipc::StringValue{std::string(s)};
}

Error malformedReply(std::string_view selector) {
  return Error{EPROTO, "malformed reply to " + std::string(selector)};
}

bool kindsMatch(const Values& values, std::span<const ipc::ValueKind> kinds) {
  if (values.size() != kinds.size()) return false;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (ipc::kindOf(values[i]) != kinds[i]) return false;
  }
  return true;
}

// Checks a reply against the operation's shape.
Result<Values> checked(std::string_view selector, Result<Values> reply) {
  if (!reply) return reply;
  const ProtocolOperation* op = findOperation(selector);
  if (op == nullptr) return reply;
  if (!kindsMatch(*reply, replyKinds(op->reply))) return malformedReply(selector);
  // A version is never null.
  if (op->reply == ReplyShape::kVersion && !std::get<ipc::StringValue>((*reply)[0]).text) {
    return malformedReply(selector);
  }
  return reply;
}

template <typename T>
Result<T> typed(std::string_view selector, Result<Values> reply) {
  auto values = checked(selector, std::move(reply));
  if (!values) return values.error();
  return replyFromValues<T>(*values);
}

Status checkArguments(std::string_view selector, const Values& values) {
  const ProtocolOperation* op = findOperation(selector);
  if (op == nullptr || op->selector != selector) return {};
  const auto expected = op->args();
  bool ok = values.size() == expected.size();
  for (std::size_t i = 0; ok && i < expected.size(); ++i)
    ok = ipc::kindOf(values[i]) == expected[i].kind;
  if (!ok) return Error{EINVAL, "arguments do not match " + std::string(selector)};
  return {};
}

}  // namespace

Result<HelperClient> HelperClient::connect(std::string_view socketPath, int admissionTimeoutMs) {
  auto conn = ClientConnection::open(socketPath, admissionTimeoutMs);
  if (!conn) return conn.error();
  return HelperClient(std::move(*conn));
}

HelperClient::HelperClient(std::unique_ptr<ClientConnection> connection)
    : connection_(std::move(connection)) {}
HelperClient::HelperClient(HelperClient&&) noexcept = default;
HelperClient& HelperClient::operator=(HelperClient&&) noexcept = default;
HelperClient::~HelperClient() = default;

Result<std::vector<ipc::Value>> HelperClient::call(std::string_view selector, Values values) {
  if (auto st = checkArguments(selector, values); !st) return st.error();
  return checked(selector, connection_->call(selector, std::move(values)));
}

void HelperClient::call(std::string_view selector, Values values, Callback<Values> reply) {
  if (auto st = checkArguments(selector, values); !st) return reply(st.error());
  connection_->call(selector, std::move(values),
                    [sel = std::string(selector), reply = std::move(reply)](Result<Values> r) {
                      reply(checked(sel, std::move(r)));
                    });
}

template <typename T>
Result<T> HelperClient::callTyped(Operation op, Values values) {
  const std::string_view selector = protocolOperation(op).selector;
  return typed<T>(selector, connection_->call(selector, std::move(values)));
}

template <typename T>
void HelperClient::callTyped(Operation op, Values values, Callback<T> reply) {
  const std::string_view selector = protocolOperation(op).selector;
  connection_->call(selector, std::move(values),
                    [selector, reply = std::move(reply)](Result<Values> r) {
                      reply(typed<T>(selector, std::move(r)));
                    });
}

Result<StatusReply> HelperClient::installResolver(std::string_view tld,
                                                  std::string_view listenAddress,
                                                  std::int64_t port) {
  return callTyped<StatusReply>(Operation::kInstallResolver,
                                args(str(tld), str(listenAddress), port));
}
void HelperClient::installResolver(std::string_view tld, std::string_view listenAddress,
                                   std::int64_t port, Callback<StatusReply> reply) {
  callTyped(Operation::kInstallResolver, args(str(tld), str(listenAddress), port),
            std::move(reply));
}

Result<StatusReply> HelperClient::removeResolver(std::string_view tld) {
  return callTyped<StatusReply>(Operation::kRemoveResolver, args(str(tld)));
}
void HelperClient::removeResolver(std::string_view tld, Callback<StatusReply> reply) {
  callTyped(Operation::kRemoveResolver, args(str(tld)), std::move(reply));
}

Result<StatusReply> HelperClient::removeTrustedCACertificate(std::string_view certPath) {
  return callTyped<StatusReply>(Operation::kRemoveTrustedCACertificate, args(str(certPath)));
}
void HelperClient::removeTrustedCACertificate(std::string_view certPath,
                                              Callback<StatusReply> reply) {
  callTyped(Operation::kRemoveTrustedCACertificate, args(str(certPath)), std::move(reply));
}

Result<StatusReply> HelperClient::reconcileSystemCACertificate(std::string_view certPath) {
  return callTyped<StatusReply>(Operation::kReconcileSystemCACertificate, args(str(certPath)));
}
void HelperClient::reconcileSystemCACertificate(std::string_view certPath,
                                                Callback<StatusReply> reply) {
  callTyped(Operation::kReconcileSystemCACertificate, args(str(certPath)), std::move(reply));
}

Result<StatusReply> HelperClient::reconcileInstalledCLI() {
  return callTyped<StatusReply>(Operation::kReconcileInstalledCLI, {});
}
void HelperClient::reconcileInstalledCLI(Callback<StatusReply> reply) {
  callTyped(Operation::kReconcileInstalledCLI, {}, std::move(reply));
}

Result<StatusReply> HelperClient::removeInstalledCLI() {
  return callTyped<StatusReply>(Operation::kRemoveInstalledCLI, {});
}
void HelperClient::removeInstalledCLI(Callback<StatusReply> reply) {
  callTyped(Operation::kRemoveInstalledCLI, {}, std::move(reply));
}

Result<SocketReply> HelperClient::openListeningSocket(std::int64_t family, std::uint16_t port) {
  return callTyped<SocketReply>(Operation::kOpenListeningSocket, args(family, port));
}
void HelperClient::openListeningSocket(std::int64_t family, std::uint16_t port,
                                       Callback<SocketReply> reply) {
  callTyped(Operation::kOpenListeningSocket, args(family, port), std::move(reply));
}

Result<VersionReply> HelperClient::helperVersion() {
  return callTyped<VersionReply>(Operation::kHelperVersion, {});
}
void HelperClient::helperVersion(Callback<VersionReply> reply) {
  callTyped(Operation::kHelperVersion, {}, std::move(reply));
}

Result<StatusReply> HelperClient::chownTamselDataDir(std::string_view path, std::int64_t toUid) {
  return callTyped<StatusReply>(Operation::kChownTamselDataDir, args(str(path), toUid));
}
void HelperClient::chownTamselDataDir(std::string_view path, std::int64_t toUid,
                                      Callback<StatusReply> reply) {
  callTyped(Operation::kChownTamselDataDir, args(str(path), toUid), std::move(reply));
}

Result<LogsReply> HelperClient::fetchHelperLogsSinceISO(std::string_view since) {
  return callTyped<LogsReply>(Operation::kFetchHelperLogsSinceISO, args(str(since)));
}
void HelperClient::fetchHelperLogsSinceISO(std::string_view since, Callback<LogsReply> reply) {
  callTyped(Operation::kFetchHelperLogsSinceISO, args(str(since)), std::move(reply));
}

Result<PingReply> HelperClient::ping() {
  return callTyped<PingReply>(Operation::kPing, {});
}
void HelperClient::ping(Callback<PingReply> reply) {
  callTyped(Operation::kPing, {}, std::move(reply));
}

}  // namespace tamsel::client
