// Fuzzes timestamp parsing (and format composition and JSON strings): never crashes, never reads
// out of bounds, and whatever parses writes back to a ts that reads back to the same millisecond.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/json_string.h"
#include "logs/log_timestamp.h"
#include "platform/log/logger.h"
#include "platform/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto t = tamsel::parseLogTimestamp(text);
  // (The lowest millisecond is below the range once truncated: it reads back clamped.)
  if (t && t->time_since_epoch().count() > INT64_MIN + 1'000'000) {
    const auto& f = tamsel::fractionalTimestampFormatter();
    const auto back = tamsel::parseLogTimestamp(f.format(*t));
    if (!back || *back != std::chrono::floor<std::chrono::milliseconds>(*t)) std::abort();
  }
  // The same bytes as a format string, with a few arguments of each kind.
  const std::string composed = tamsel::log::compose(
      text, {std::string_view("value"), std::int64_t{-42}, std::uint64_t{42}, 1.5});
  if (composed.size() > 64 * 1024 + size * 16) std::abort();
  // And as a message: written exactly when it is text, never with a raw control byte.
  std::string json;
  const bool written = tamsel::appendJsonString(json, text);
  if (written != tamsel::isValidUtf8(text)) std::abort();
  for (const char c : json) {
    if (static_cast<unsigned char>(c) < 0x20) std::abort();
  }
  return 0;
}
