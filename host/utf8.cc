#include "host/utf8.h"

#include <cstdint>

namespace tamsel {
namespace {

// Length of the well-formed sequence at the start of s, or 0 with *bad set to the length of
// the maximal ill-formed subpart (at least 1).
std::size_t sequenceLength(std::string_view s, std::size_t* bad) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  std::uint8_t b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  for (std::size_t i = 1; i <= need; ++i) {
    std::uint8_t lower = i == 1 ? lo : 0x80;
    std::uint8_t upper = i == 1 ? hi : 0xBF;
    if (i >= s.size() || byte(i) < lower || byte(i) > upper) {
      *bad = i;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t bad = 0;
    std::size_t n = sequenceLength(bytes, &bad);
    if (n == 0) return false;
    bytes.remove_prefix(n);
  }
  return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    std::size_t bad = 0;
    std::size_t n = sequenceLength(bytes, &bad);
    if (n > 0) {
      out.append(bytes.substr(0, n));
      bytes.remove_prefix(n);
    } else {
      out.append("\xEF\xBF\xBD");
      bytes.remove_prefix(bad);
    }
  }
  return out;
}

}  // namespace tamsel
