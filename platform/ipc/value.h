// The typed values a request or reply carries on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/unique_fd.h"

namespace tamsel::ipc {

struct StringValue {
  std::optional<std::string> text;  // nullopt is the null string
  bool operator==(const StringValue&) const = default;
};

struct FdValue {
  UniqueFd fd;  // an invalid fd is the null handle
};

// The variant index is the wire tag's order: keep it stable.
using Value = std::variant<StringValue, bool, std::int64_t, std::uint16_t, std::int32_t, FdValue>;

enum class ValueKind : std::uint8_t { kString = 0, kBool, kInt64, kUInt16, kInt32, kFd };

inline ValueKind kindOf(const Value& v) {
  return static_cast<ValueKind>(v.index());
}

struct Request {
  std::uint64_t id = 0;
  std::string selector;
  std::vector<Value> args;
};

}  // namespace tamsel::ipc
