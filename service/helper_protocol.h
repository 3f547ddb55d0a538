// HelperProtocol: the eleven operations in declaration order, their argument types and widths,
// their reply shapes, and the call into the object that implements them. Client and daemon
// both read this one table; a selector is written nowhere else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/value.h"
#include "service/reply_shapes.h"

namespace tamsel {

using OptionalString = std::optional<std::string>;

// The operations as the daemon implements them (HelperImpl): arguments exactly as they arrive
// (a string may be null), the reply as a value, so each request is answered exactly once.
class HelperProtocol {
 public:
  virtual ~HelperProtocol() = default;
  virtual StatusReply installResolverWithTld(const OptionalString& tld,
                                             const OptionalString& listenAddress,
                                             std::int64_t port) const = 0;
  virtual StatusReply removeResolverWithTld(const OptionalString& tld) const = 0;
  virtual StatusReply removeTrustedCACertificateWithCertPath(
      const OptionalString& certPath) const = 0;
  virtual StatusReply reconcileSystemCACertificateWithCertPath(
      const OptionalString& certPath) const = 0;
  virtual StatusReply reconcileInstalledCLIWithReply() const = 0;
  virtual StatusReply removeInstalledCLIWithReply() const = 0;
  virtual SocketReply openListeningSocketWithFamily(std::int64_t family,
                                                    std::uint16_t port) const = 0;
  virtual VersionReply helperVersionWithReply() const = 0;
  virtual StatusReply chownTamselDataDirWithPath(const OptionalString& path,
                                                 std::int64_t toUid) const = 0;
  virtual LogsReply fetchHelperLogsSinceISO(const OptionalString& since) const = 0;
  virtual PingReply pingWithReply() const = 0;
};

enum class ReplyShape { kStatus, kSocket, kVersion, kLogs, kPing };

// Declaration order; the index into kHelperProtocol.
enum class Operation : std::uint8_t {
  kInstallResolver,
  kRemoveResolver,
  kRemoveTrustedCACertificate,
  kReconcileSystemCACertificate,
  kReconcileInstalledCLI,
  kRemoveInstalledCLI,
  kOpenListeningSocket,
  kHelperVersion,
  kChownTamselDataDir,
  kFetchHelperLogsSinceISO,
  kPing,
};

struct ProtocolArgument {
  std::string_view name;
  ipc::ValueKind kind;
};

using Arguments = std::vector<ipc::Value>;

// Arguments already checked against the operation's kinds.
inline const OptionalString& stringArg(const Arguments& a, std::size_t i) {
  return std::get<ipc::StringValue>(a[i]).text;
}
inline std::int64_t int64Arg(const Arguments& a, std::size_t i) {
  return std::get<std::int64_t>(a[i]);
}
inline std::uint16_t uint16Arg(const Arguments& a, std::size_t i) {
  return std::get<std::uint16_t>(a[i]);
}

// Calls the operation on the implementation and gives its reply's values.
using Invoke = std::vector<ipc::Value> (*)(const HelperProtocol&, const Arguments&);

struct ProtocolOperation {
  Operation id;
  std::string_view selector;
  std::string_view shortName;  // tamsel-helperctl's name for it
  std::string_view body;       // the body's name, as its log lines use it
  std::array<ProtocolArgument, 3> argStorage;
  std::size_t argCount;
  ReplyShape reply;
  Invoke invoke;

  std::span<const ProtocolArgument> args() const { return {argStorage.data(), argCount}; }
};

using ipc::ValueKind;
inline constexpr std::array<ProtocolOperation, 11> kHelperProtocol = {{
    {Operation::kInstallResolver,
     "installResolverWithTld:listenAddress:port:reply:",
     "install-resolver",
     "installResolver",
     {{{"tld", ValueKind::kString},
       {"listenAddress", ValueKind::kString},
       {"port", ValueKind::kInt64}}},
     3,
     ReplyShape::kStatus,
     [](const HelperProtocol& h, const Arguments& a) {
       return replyValues(
           h.installResolverWithTld(stringArg(a, 0), stringArg(a, 1), int64Arg(a, 2)));
     }},
    {Operation::kRemoveResolver,
     "removeResolverWithTld:reply:",
     "remove-resolver",
     "removeResolver",
     {{{"tld", ValueKind::kString}}},
     1,
     ReplyShape::kStatus,
     [](const HelperProtocol& h, const Arguments& a) {
       return replyValues(h.removeResolverWithTld(stringArg(a, 0)));
     }},
    {Operation::kRemoveTrustedCACertificate,
     "removeTrustedCACertificateWithCertPath:reply:",
     "remove-trusted-ca",
     "removeTrustedCACertificate",
     {{{"certPath", ValueKind::kString}}},
     1,
     ReplyShape::kStatus,
     [](const HelperProtocol& h, const Arguments& a) {
       return replyValues(h.removeTrustedCACertificateWithCertPath(stringArg(a, 0)));
     }},
    {Operation::kReconcileSystemCACertificate,
     "reconcileSystemCACertificateWithCertPath:reply:",
     "reconcile-ca",
     "reconcileSystemCACertificate",
     {{{"certPath", ValueKind::kString}}},
     1,
     ReplyShape::kStatus,
     [](const HelperProtocol& h, const Arguments& a) {
       return replyValues(h.reconcileSystemCACertificateWithCertPath(stringArg(a, 0)));
     }},
    {Operation::kReconcileInstalledCLI,
     "reconcileInstalledCLIWithReply:",
     "reconcile-cli",
     "reconcileInstalledCLI",
     {},
     0,
     ReplyShape::kStatus,
     [](const HelperProtocol& h, const Arguments&) {
       return replyValues(h.reconcileInstalledCLIWithReply());
     }},
    {Operation::kRemoveInstalledCLI,
     "removeInstalledCLIWithReply:",
     "remove-cli",
     "removeInstalledCLI",
     {},
     0,
     ReplyShape::kStatus,
     [](const HelperProtocol& h, const Arguments&) {
       return replyValues(h.removeInstalledCLIWithReply());
     }},
    {Operation::kOpenListeningSocket,
     "openListeningSocketWithFamily:port:reply:",
     "open-socket",
     "openListeningSocket",
     {{{"family", ValueKind::kInt64}, {"port", ValueKind::kUInt16}}},
     2,
     ReplyShape::kSocket,
     [](const HelperProtocol& h, const Arguments& a) {
       return replyValues(h.openListeningSocketWithFamily(int64Arg(a, 0), uint16Arg(a, 1)));
     }},
    {Operation::kHelperVersion,
     "helperVersionWithReply:",
     "version",
     "helperVersion",
     {},
     0,
     ReplyShape::kVersion,
     [](const HelperProtocol& h, const Arguments&) {
       return replyValues(h.helperVersionWithReply());
     }},
    {Operation::kChownTamselDataDir,
     "chownTamselDataDirWithPath:toUid:reply:",
     "chown-data-dir",
     "chownTamselDataDir",
     {{{"path", ValueKind::kString}, {"toUid", ValueKind::kInt64}}},
     2,
     ReplyShape::kStatus,
     [](const HelperProtocol& h, const Arguments& a) {
       return replyValues(h.chownTamselDataDirWithPath(stringArg(a, 0), int64Arg(a, 1)));
     }},
    {Operation::kFetchHelperLogsSinceISO,
     "fetchHelperLogsSinceISO:reply:",
     "logs",
     "fetchHelperLogsSinceISO",
     {{{"since", ValueKind::kString}}},
     1,
     ReplyShape::kLogs,
     [](const HelperProtocol& h, const Arguments& a) {
       return replyValues(h.fetchHelperLogsSinceISO(stringArg(a, 0)));
     }},
    {Operation::kPing,
     "pingWithReply:",
     "ping",
     "ping",
     {},
     0,
     ReplyShape::kPing,
     [](const HelperProtocol& h, const Arguments&) { return replyValues(h.pingWithReply()); }},
}};

constexpr bool tableInDeclarationOrder() {
  for (std::size_t i = 0; i < kHelperProtocol.size(); ++i) {
    if (static_cast<std::size_t>(kHelperProtocol[i].id) != i) return false;
  }
  return true;
}
static_assert(tableInDeclarationOrder());

constexpr const ProtocolOperation& protocolOperation(Operation op) {
  return kHelperProtocol[static_cast<std::size_t>(op)];
}

// The value kinds a reply of each shape carries, in order.
std::span<const ValueKind> replyKinds(ReplyShape shape);

// Whether args have the kinds the operation declares, in order.
bool argumentsMatch(const ProtocolOperation& op, const Arguments& args);

// The operation with this selector or short name, if any.
const ProtocolOperation* findOperation(std::string_view selectorOrShortName);

}  // namespace tamsel
