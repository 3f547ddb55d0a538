// Composing os_log format strings. The format is read once, left to right; every conversion
// takes the next argument, and nothing is ever read past the arguments given.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>

#include "platform/log/logger.h"

namespace tamsel::log {
namespace {

// Widths and precisions above this are clamped: a format can never make a huge string.
constexpr int kMaxWidth = 1024;

constexpr std::string_view kPrivate = "<private>";
constexpr std::string_view kMissing = "<missing>";

struct Conversion {
  bool isPublic = false;
  std::string flags;  // of "-+ #0", each at most once
  int width = -1;
  int precision = -1;
  char conv = 0;
};

// "{public}", "{private}", "{public, name=x}": only privacy matters here.
bool annotationIsPublic(std::string_view annotation) {
  bool isPublic = false;
  while (!annotation.empty()) {
    const std::size_t comma = annotation.find(',');
    std::string_view word = annotation.substr(0, comma);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    if (word == "public") isPublic = true;
    if (word == "private" || word == "sensitive") return false;
    if (comma == std::string_view::npos) break;
    annotation.remove_prefix(comma + 1);
  }
  return isPublic;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads a decimal number, clamped to kMaxWidth.
int readNumber(std::string_view f, std::size_t& j) {
  int value = 0;
  while (j < f.size() && isDigit(f[j])) {
    value = std::min(kMaxWidth, value * 10 + (f[j] - '0'));
    ++j;
  }
  return value;
}

std::int64_t argAsInt(const Arg* arg) {
  if (arg == nullptr) return 0;
  if (const auto* i = std::get_if<std::int64_t>(arg)) return *i;
  if (const auto* u = std::get_if<std::uint64_t>(arg)) return static_cast<std::int64_t>(*u);
  if (const auto* d = std::get_if<double>(arg)) {
    return (*d > -1e9 && *d < 1e9) ? static_cast<std::int64_t>(*d) : 0;
  }
  return 0;
}

// printf with a format built here from checked parts, so the argument always matches.
template <typename T>
void appendPrintf(std::string& out, const Conversion& c, std::string_view length, char conv,
                  T value) {
  std::string conversion = "%" + c.flags;
  if (c.width >= 0) conversion += "*";
  if (c.precision >= 0) conversion += ".*";
  conversion += length;
  conversion += conv;
  char buf[kMaxWidth + 64];
  int n = 0;
  if (c.width >= 0 && c.precision >= 0) {
    n = std::snprintf(buf, sizeof buf, conversion.c_str(), c.width, c.precision, value);
  } else if (c.width >= 0) {
    n = std::snprintf(buf, sizeof buf, conversion.c_str(), c.width, value);
  } else if (c.precision >= 0) {
    n = std::snprintf(buf, sizeof buf, conversion.c_str(), c.precision, value);
  } else {
    n = std::snprintf(buf, sizeof buf, conversion.c_str(), value);
  }
  if (n > 0) out.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

void appendPadded(std::string& out, const Conversion& c, std::string_view text) {
  const std::size_t width = c.width > 0 ? static_cast<std::size_t>(c.width) : 0;
  const std::size_t pad = text.size() < width ? width - text.size() : 0;
  const bool left = c.flags.find('-') != std::string::npos;
  if (!left) out.append(pad, ' ');
  out.append(text);
  if (left) out.append(pad, ' ');
}

void appendString(std::string& out, const Conversion& c, std::string_view value) {
  if (!c.isPublic) {
    appendPadded(out, c, kPrivate);
    return;
  }
  if (c.precision >= 0 && static_cast<std::size_t>(c.precision) < value.size()) {
    value = value.substr(0, static_cast<std::size_t>(c.precision));
  }
  appendPadded(out, c, value);
}

bool isIntegerConversion(char conv) {
  return conv == 'd' || conv == 'i' || conv == 'u' || conv == 'o' || conv == 'x' || conv == 'X';
}
bool isFloatConversion(char conv) {
  return std::string_view("eEfFgGaA").find(conv) != std::string_view::npos;
}

void appendSigned(std::string& out, const Conversion& c, std::int64_t v) {
  if (c.conv == 'c' && v > 0 && v < 0x7F) {
    const char ch = static_cast<char>(v);
    appendPadded(out, c, std::string_view(&ch, 1));
  } else if (isIntegerConversion(c.conv)) {
    if (c.conv == 'd' || c.conv == 'i') {
      appendPrintf(out, c, "ll", c.conv, static_cast<long long>(v));
    } else {
      appendPrintf(out, c, "ll", c.conv, static_cast<unsigned long long>(v));
    }
  } else if (isFloatConversion(c.conv)) {
    appendPrintf(out, c, "", c.conv, static_cast<double>(v));
  } else if (c.conv == 'p') {
    Conversion hex = c;
    if (hex.flags.find('#') == std::string::npos) hex.flags += '#';
    appendPrintf(out, hex, "ll", 'x', static_cast<unsigned long long>(v));
  } else {
    appendPrintf(out, c, "ll", 'd', static_cast<long long>(v));
  }
}

void appendUnsigned(std::string& out, const Conversion& c, std::uint64_t v) {
  if (c.conv == 'd' || c.conv == 'i' || c.conv == 's' || c.conv == '@') {
    // The value as it is: an unsigned argument never prints negative.
    Conversion u = c;
    u.conv = 'u';
    appendSigned(out, u, static_cast<std::int64_t>(v));
  } else {
    appendSigned(out, c, static_cast<std::int64_t>(v));
  }
}

void appendDouble(std::string& out, const Conversion& c, double v) {
  appendPrintf(out, c, "", isFloatConversion(c.conv) ? c.conv : 'g', v);
}

void appendArg(std::string& out, const Conversion& c, const Arg& arg) {
  if (const auto* s = std::get_if<std::string_view>(&arg)) {
    appendString(out, c, *s);
  } else if (const auto* i = std::get_if<std::int64_t>(&arg)) {
    appendSigned(out, c, *i);
  } else if (const auto* u = std::get_if<std::uint64_t>(&arg)) {
    appendUnsigned(out, c, *u);
  } else if (const auto* d = std::get_if<double>(&arg)) {
    appendDouble(out, c, *d);
  }
}

bool isConversion(char c) {
  return std::string_view("diouxXcsSp@eEfFgGaAn").find(c) != std::string_view::npos;
}

}  // namespace

std::string compose(std::string_view format, std::initializer_list<Arg> args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  const Arg* next = args.begin();
  const auto take = [&]() -> const Arg* { return next == args.end() ? nullptr : next++; };

  std::size_t i = 0;
  while (i < format.size()) {
    const std::size_t pct = format.find('%', i);
    if (pct == std::string_view::npos) {
      out.append(format.substr(i));
      break;
    }
    out.append(format.substr(i, pct - i));
    std::size_t j = pct + 1;
    Conversion c;
    if (j < format.size() && format[j] == '{') {
      const std::size_t close = format.find('}', j);
      if (close == std::string_view::npos) {
        out.append(format.substr(pct));
        break;
      }
      c.isPublic = annotationIsPublic(format.substr(j + 1, close - j - 1));
      j = close + 1;
    }
    while (j < format.size() &&
           std::string_view("-+ #0").find(format[j]) != std::string_view::npos) {
      if (c.flags.find(format[j]) == std::string::npos) c.flags += format[j];
      ++j;
    }
    if (j < format.size() && format[j] == '*') {
      const std::int64_t w = argAsInt(take());
      if (w < 0 && c.flags.find('-') == std::string::npos) c.flags += '-';
      c.width = static_cast<int>(w < -kMaxWidth || w > kMaxWidth ? kMaxWidth : (w < 0 ? -w : w));
      ++j;
    } else if (j < format.size() && isDigit(format[j])) {
      c.width = readNumber(format, j);
    }
    if (j < format.size() && format[j] == '.') {
      ++j;
      if (j < format.size() && format[j] == '*') {
        const std::int64_t p = argAsInt(take());
        c.precision = p < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(kMaxWidth, p));
        ++j;
      } else {
        c.precision = readNumber(format, j);
      }
    }
    // Length modifiers change nothing: every argument arrives at its full width.
    while (j < format.size() &&
           std::string_view("hlqjztL").find(format[j]) != std::string_view::npos) {
      ++j;
    }
    if (j >= format.size()) {
      out.append(format.substr(pct));
      break;
    }
    c.conv = format[j];
    i = j + 1;
    if (c.conv == '%') {
      out += '%';
      continue;
    }
    if (!isConversion(c.conv)) {
      out.append(format.substr(pct, i - pct));  // not a conversion: kept as written
      continue;
    }
    const Arg* arg = take();
    if (c.conv == 'n') continue;  // writes nothing, as in every safe printf
    if (arg == nullptr) {
      out.append(kMissing);
      continue;
    }
    appendArg(out, c, *arg);
  }
  return out;
}

}  // namespace tamsel::log
