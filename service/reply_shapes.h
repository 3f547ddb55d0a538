// The five reply shapes, as values. An operation body returns one; the daemon sends it as the
// request's one reply, and the client library hands the same value back to its caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ipc/value.h"
#include "platform/unique_fd.h"

namespace tamsel {

using Message = std::optional<std::string>;

struct [[nodiscard]] StatusReply {
  bool ok = false;
  Message message;  // absent on success; never empty on failure
  std::int32_t code = 0;

  static StatusReply success() { return {true, std::nullopt, 0}; }
  static StatusReply failure(std::string message, std::int32_t code = 0) {
    return {false, std::move(message), code};
  }
  bool operator==(const StatusReply&) const = default;
};

struct [[nodiscard]] SocketReply {
  UniqueFd handle;  // invalid when refused
  Message message;
  std::int32_t code = 0;
};

struct [[nodiscard]] VersionReply {
  std::string version;
  bool operator==(const VersionReply&) const = default;
};

struct [[nodiscard]] LogsReply {
  std::optional<std::string> text;  // absent when the log store failed
  Message message;
  std::int32_t code = 0;
  bool operator==(const LogsReply&) const = default;
};

struct [[nodiscard]] PingReply {
  bool alive = false;
};

// Each shape as the values that travel on the wire, in the shape's order.
std::vector<ipc::Value> replyValues(StatusReply reply);
std::vector<ipc::Value> replyValues(SocketReply reply);
std::vector<ipc::Value> replyValues(VersionReply reply);
std::vector<ipc::Value> replyValues(LogsReply reply);
std::vector<ipc::Value> replyValues(PingReply reply);

// And back, from values already checked against the shape's kinds (replyKinds).
template <typename Shape>
Shape replyFromValues(std::vector<ipc::Value>& values);

}  // namespace tamsel
