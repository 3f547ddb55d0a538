// The export's timestamps: internet date-time (RFC 3339) with or without fractional seconds.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tamsel {

using LogTime = std::chrono::sys_time<std::chrono::nanoseconds>;

// Immutable, so one instance is shared by every thread without a lock.
class TimestampFormatter {
 public:
  static constexpr std::size_t kMaxLength = 32;

  explicit constexpr TimestampFormatter(bool fractionalSeconds) : fractional_(fractionalSeconds) {}

  // UTC ending in "Z": "2026-03-01T09:15:42.123Z" (milliseconds, truncated) or
  // "2026-03-01T09:15:42Z". Writes into out without allocating; returns the length.
  std::size_t format(LogTime time, char (&out)[kMaxLength]) const;
  std::string format(LogTime time) const;

  // Accepts "YYYY-MM-DDTHH:MM:SS", then "." and one or more digits when fractional (and not
  // otherwise), then "Z" or "+HH:MM" / "-HH:MM". Digits past the ninth are read but ignored.
  // Anything else (a date alone, a space, a lowercase "t" or "z", second 60, a day the month
  // does not have) is absent. Instants outside what LogTime holds (years before 1678 or after
  // 2261) are clamped to its ends.
  std::optional<LogTime> parse(std::string_view text) const;

 private:
  bool fractional_;
};

// Process-wide formatters, created once on first use.
const TimestampFormatter& fractionalTimestampFormatter();
const TimestampFormatter& plainTimestampFormatter();

// The fractional formatter's reading, else the plain one's, else absent.
std::optional<LogTime> parseLogTimestamp(std::string_view text);

}  // namespace tamsel
