// HelperProtocol: the eleven operations in declaration order, their argument types and widths
// and their reply shapes. Client and daemon both read this one table.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "platform/ipc/value.h"

namespace tamsel {

enum class ReplyShape { kStatus, kSocket, kVersion, kLogs, kPing };

struct ProtocolArgument {
  std::string_view name;
  ipc::ValueKind kind;
};

struct ProtocolOperation {
  std::string_view selector;
  std::string_view shortName;  // tamsel-helperctl's name for it
  std::string_view body;       // the body's name, as its log lines use it
  std::array<ProtocolArgument, 3> argStorage;
  std::size_t argCount;
  ReplyShape reply;

  std::span<const ProtocolArgument> args() const { return {argStorage.data(), argCount}; }
};

using ipc::ValueKind;
inline constexpr std::array<ProtocolOperation, 11> kHelperProtocol = {{
    {"installResolverWithTld:listenAddress:port:reply:",
     "install-resolver",
     "installResolver",
     {{{"tld", ValueKind::kString},
       {"listenAddress", ValueKind::kString},
       {"port", ValueKind::kInt64}}},
     3,
     ReplyShape::kStatus},
    {"removeResolverWithTld:reply:",
     "remove-resolver",
     "removeResolver",
     {{{"tld", ValueKind::kString}}},
     1,
     ReplyShape::kStatus},
    {"removeTrustedCACertificateWithCertPath:reply:",
     "remove-trusted-ca",
     "removeTrustedCACertificate",
     {{{"certPath", ValueKind::kString}}},
     1,
     ReplyShape::kStatus},
    {"reconcileSystemCACertificateWithCertPath:reply:",
     "reconcile-ca",
     "reconcileSystemCACertificate",
     {{{"certPath", ValueKind::kString}}},
     1,
     ReplyShape::kStatus},
    {"reconcileInstalledCLIWithReply:",
     "reconcile-cli",
     "reconcileInstalledCLI",
     {},
     0,
     ReplyShape::kStatus},
    {"removeInstalledCLIWithReply:",
     "remove-cli",
     "removeInstalledCLI",
     {},
     0,
     ReplyShape::kStatus},
    {"openListeningSocketWithFamily:port:reply:",
     "open-socket",
     "openListeningSocket",
     {{{"family", ValueKind::kInt64}, {"port", ValueKind::kUInt16}}},
     2,
     ReplyShape::kSocket},
    {"helperVersionWithReply:", "version", "helperVersion", {}, 0, ReplyShape::kVersion},
    {"chownTamselDataDirWithPath:toUid:reply:",
     "chown-data-dir",
     "chownTamselDataDir",
     {{{"path", ValueKind::kString}, {"toUid", ValueKind::kInt64}}},
     2,
     ReplyShape::kStatus},
    {"fetchHelperLogsSinceISO:reply:",
     "logs",
     "fetchHelperLogsSinceISO",
     {{{"since", ValueKind::kString}}},
     1,
     ReplyShape::kLogs},
    {"pingWithReply:", "ping", "ping", {}, 0, ReplyShape::kPing},
}};

// The value kinds a reply of each shape carries, in order.
std::span<const ValueKind> replyKinds(ReplyShape shape);

// The operation with this selector or short name, if any.
const ProtocolOperation* findOperation(std::string_view selectorOrShortName);

}  // namespace tamsel
