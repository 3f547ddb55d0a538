// How tamsel-helperctl prints a reply, as text or as one JSON object, and the exit status it
// implies.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/value.h"
#include "service/helper_protocol.h"

namespace tamsel::client::helperctl {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

struct Rendered {
  std::string text;  // ends with a line feed unless empty
  int exitCode = kExitSuccess;
};

// values must already match the shape's kinds.
Rendered renderReply(ReplyShape shape, const std::vector<ipc::Value>& values, bool json);

// A JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string jsonString(std::string_view text);

// The local address of a socket descriptor as a JSON object, e.g.
// {"family":"inet","address":"0.0.0.0","port":8080}; text form "inet 0.0.0.0:8080".
std::string describeSocketJson(int fd);
std::string describeSocketText(int fd);

// The "ts" of the last line of a log export, if it has one.
std::optional<std::string> lastTimestamp(std::string_view exportText);

// 2026-03-01T09:15:42.123Z
std::string isoTimestamp(std::chrono::system_clock::time_point t);

}  // namespace tamsel::client::helperctl
