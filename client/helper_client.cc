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

std::optional<std::string> text(ipc::Value& v) {
  return std::move(std::get<ipc::StringValue>(v).text);
}

// Each reply shape, from values already checked against the shape's kinds.
template <typename T>
T convert(Values& v);
template <>
StatusReply convert(Values& v) {
  return {std::get<bool>(v[0]), text(v[1]), std::get<std::int32_t>(v[2])};
}
template <>
SocketReply convert(Values& v) {
  return {std::move(std::get<ipc::FdValue>(v[0]).fd), text(v[1]), std::get<std::int32_t>(v[2])};
}
template <>
VersionReply convert(Values& v) {
  return {text(v[0]).value_or("")};
}
template <>
LogsReply convert(Values& v) {
  return {text(v[0]), text(v[1]), std::get<std::int32_t>(v[2])};
}
template <>
PingReply convert(Values& v) {
  return {std::get<bool>(v[0])};
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
  return convert<T>(*values);
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

// The callback form of each operation, by its selector and argument values.
template <typename T>
void async(ClientConnection& conn, std::string_view selector, Values values, Callback<T> reply) {
  conn.call(selector, std::move(values),
            [sel = std::string(selector), reply = std::move(reply)](Result<Values> r) {
              reply(typed<T>(sel, std::move(r)));
            });
}

Result<StatusReply> HelperClient::installResolver(std::string_view tld,
                                                  std::string_view listenAddress,
                                                  std::int64_t port) {
  constexpr std::string_view sel = "installResolverWithTld:listenAddress:port:reply:";
  return typed<StatusReply>(sel, connection_->call(sel, args(str(tld), str(listenAddress), port)));
}
void HelperClient::installResolver(std::string_view tld, std::string_view listenAddress,
                                   std::int64_t port, Callback<StatusReply> reply) {
  async(*connection_, "installResolverWithTld:listenAddress:port:reply:",
        args(str(tld), str(listenAddress), port), std::move(reply));
}

Result<StatusReply> HelperClient::removeResolver(std::string_view tld) {
  constexpr std::string_view sel = "removeResolverWithTld:reply:";
  return typed<StatusReply>(sel, connection_->call(sel, args(str(tld))));
}
void HelperClient::removeResolver(std::string_view tld, Callback<StatusReply> reply) {
  async(*connection_, "removeResolverWithTld:reply:", args(str(tld)), std::move(reply));
}

Result<StatusReply> HelperClient::removeTrustedCACertificate(std::string_view certPath) {
  constexpr std::string_view sel = "removeTrustedCACertificateWithCertPath:reply:";
  return typed<StatusReply>(sel, connection_->call(sel, args(str(certPath))));
}
void HelperClient::removeTrustedCACertificate(std::string_view certPath,
                                              Callback<StatusReply> reply) {
  async(*connection_, "removeTrustedCACertificateWithCertPath:reply:", args(str(certPath)),
        std::move(reply));
}

Result<StatusReply> HelperClient::reconcileSystemCACertificate(std::string_view certPath) {
  constexpr std::string_view sel = "reconcileSystemCACertificateWithCertPath:reply:";
  return typed<StatusReply>(sel, connection_->call(sel, args(str(certPath))));
}
void HelperClient::reconcileSystemCACertificate(std::string_view certPath,
                                                Callback<StatusReply> reply) {
  async(*connection_, "reconcileSystemCACertificateWithCertPath:reply:", args(str(certPath)),
        std::move(reply));
}

Result<StatusReply> HelperClient::reconcileInstalledCLI() {
  constexpr std::string_view sel = "reconcileInstalledCLIWithReply:";
  return typed<StatusReply>(sel, connection_->call(sel, {}));
}
void HelperClient::reconcileInstalledCLI(Callback<StatusReply> reply) {
  async(*connection_, "reconcileInstalledCLIWithReply:", {}, std::move(reply));
}

Result<StatusReply> HelperClient::removeInstalledCLI() {
  constexpr std::string_view sel = "removeInstalledCLIWithReply:";
  return typed<StatusReply>(sel, connection_->call(sel, {}));
}
void HelperClient::removeInstalledCLI(Callback<StatusReply> reply) {
  async(*connection_, "removeInstalledCLIWithReply:", {}, std::move(reply));
}

Result<SocketReply> HelperClient::openListeningSocket(std::int64_t family, std::uint16_t port) {
  constexpr std::string_view sel = "openListeningSocketWithFamily:port:reply:";
  return typed<SocketReply>(sel, connection_->call(sel, args(family, port)));
}
void HelperClient::openListeningSocket(std::int64_t family, std::uint16_t port,
                                       Callback<SocketReply> reply) {
  async(*connection_, "openListeningSocketWithFamily:port:reply:", args(family, port),
        std::move(reply));
}

Result<VersionReply> HelperClient::helperVersion() {
  constexpr std::string_view sel = "helperVersionWithReply:";
  return typed<VersionReply>(sel, connection_->call(sel, {}));
}
void HelperClient::helperVersion(Callback<VersionReply> reply) {
  async(*connection_, "helperVersionWithReply:", {}, std::move(reply));
}

Result<StatusReply> HelperClient::chownTamselDataDir(std::string_view path, std::int64_t toUid) {
  constexpr std::string_view sel = "chownTamselDataDirWithPath:toUid:reply:";
  return typed<StatusReply>(sel, connection_->call(sel, args(str(path), toUid)));
}
void HelperClient::chownTamselDataDir(std::string_view path, std::int64_t toUid,
                                      Callback<StatusReply> reply) {
  async(*connection_, "chownTamselDataDirWithPath:toUid:reply:", args(str(path), toUid),
        std::move(reply));
}

Result<LogsReply> HelperClient::fetchHelperLogsSinceISO(std::string_view since) {
  constexpr std::string_view sel = "fetchHelperLogsSinceISO:reply:";
  return typed<LogsReply>(sel, connection_->call(sel, args(str(since))));
}
void HelperClient::fetchHelperLogsSinceISO(std::string_view since, Callback<LogsReply> reply) {
  async(*connection_, "fetchHelperLogsSinceISO:reply:", args(str(since)), std::move(reply));
}

Result<PingReply> HelperClient::ping() {
  constexpr std::string_view sel = "pingWithReply:";
  return typed<PingReply>(sel, connection_->call(sel, {}));
}
void HelperClient::ping(Callback<PingReply> reply) {
  async(*connection_, "pingWithReply:", {}, std::move(reply));
}

}  // namespace tamsel::client
