#include "logs/log_timestamp.h"

#include <cstdint>
#include <limits>

namespace tamsel {
namespace {

constexpr std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
constexpr std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = floorDiv(y, 400);
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month, day;
};

constexpr Civil civilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = floorDiv(z, 146097);
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

constexpr bool isLeap(std::int64_t y) {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

constexpr unsigned daysInMonth(std::int64_t y, unsigned m) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

void putDigits(char*& p, std::int64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  p += width;
}

// Reads a run of exactly n digits at text[pos].
bool readDigits(std::string_view text, std::size_t& pos, int n, int& value) {
  if (text.size() - pos < static_cast<std::size_t>(n)) return false;
  value = 0;
  for (int i = 0; i < n; ++i, ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::size_t TimestampFormatter::format(LogTime time, char (&out)[kMaxLength]) const {
  const std::int64_t ms = floorDiv(time.time_since_epoch().count(), 1'000'000);
  const std::int64_t secs = floorDiv(ms, 1000);
  const std::int64_t days = floorDiv(secs, 86400);
  const std::int64_t sod = secs - days * 86400;
  const Civil c = civilFromDays(days);  // LogTime spans years 1677 to 2262: four digits
  char* p = out;
  putDigits(p, c.year, 4);
  *p++ = '-';
  putDigits(p, c.month, 2);
  *p++ = '-';
  putDigits(p, c.day, 2);
  *p++ = 'T';
  putDigits(p, sod / 3600, 2);
  *p++ = ':';
  putDigits(p, sod / 60 % 60, 2);
  *p++ = ':';
  putDigits(p, sod % 60, 2);
  if (fractional_) {
    *p++ = '.';
    putDigits(p, ms - secs * 1000, 3);
  }
  *p++ = 'Z';
  return static_cast<std::size_t>(p - out);
}

std::string TimestampFormatter::format(LogTime time) const {
  char buf[kMaxLength];
  return std::string(buf, format(time, buf));
}

std::optional<LogTime> TimestampFormatter::parse(std::string_view text) const {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') ||
      !readDigits(text, pos, 2, month) || !expect(text, pos, '-') ||
      !readDigits(text, pos, 2, day) || !expect(text, pos, 'T') ||
      !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') ||
      !readDigits(text, pos, 2, minute) || !expect(text, pos, ':') ||
      !readDigits(text, pos, 2, second)) {
    return std::nullopt;
  }
  std::int64_t fraction = 0;  // nanoseconds
  if (fractional_) {
    if (!expect(text, pos, '.')) return std::nullopt;
    int digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (digits < 9) fraction = fraction * 10 + (text[pos] - '0');
      ++digits;
      ++pos;
    }
    if (digits == 0) return std::nullopt;
    for (int i = digits; i < 9; ++i) fraction *= 10;
  }
  std::int64_t offset = 0;  // seconds east of UTC
  if (pos < text.size() && text[pos] == 'Z') {
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const bool east = text[pos++] == '+';
    int oh = 0, om = 0;
    if (!readDigits(text, pos, 2, oh) || !expect(text, pos, ':') || !readDigits(text, pos, 2, om) ||
        oh > 23 || om > 59) {
      return std::nullopt;
    }
    offset = (east ? 1 : -1) * (std::int64_t{oh} * 3600 + std::int64_t{om} * 60);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 ||
      static_cast<unsigned>(day) > daysInMonth(year, static_cast<unsigned>(month)) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  const std::int64_t secs =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
      std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second - offset;
  // Borrow a second for a negative time so the product cannot overflow where the sum fits.
  std::int64_t wholeSecs = secs;
  if (wholeSecs < 0 && fraction > 0) {
    wholeSecs += 1;
    fraction -= 1'000'000'000;
  }
  std::int64_t ns = 0;
  if (__builtin_mul_overflow(wholeSecs, std::int64_t{1'000'000'000}, &ns) ||
      __builtin_add_overflow(ns, fraction, &ns)) {
    ns = secs < 0 ? std::numeric_limits<std::int64_t>::min()
                  : std::numeric_limits<std::int64_t>::max();
  }
  return LogTime(std::chrono::nanoseconds(ns));
}

const TimestampFormatter& fractionalTimestampFormatter() {
  static const TimestampFormatter formatter(true);
  return formatter;
}

const TimestampFormatter& plainTimestampFormatter() {
  static const TimestampFormatter formatter(false);
  return formatter;
}

std::optional<LogTime> parseLogTimestamp(std::string_view text) {
  if (auto t = fractionalTimestampFormatter().parse(text)) return t;
  return plainTimestampFormatter().parse(text);
}

}  // namespace tamsel
