#include "platform/utf8.h"

#include <cstdint>

namespace tamsel {

std::size_t utf8SequenceLength(std::string_view text, std::size_t pos, std::size_t* illFormed) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[pos + i]); };
  const auto fail = [&](std::size_t bad) {
    if (illFormed != nullptr) *illFormed = bad;
    return std::size_t{0};
  };
  const std::uint8_t b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  std::uint8_t lo = 0x80;  // allowed range of the second byte
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
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return fail(1);
  }
  const std::size_t left = text.size() - pos;
  for (std::size_t i = 1; i <= need; ++i) {
    const std::uint8_t lower = i == 1 ? lo : 0x80;
    const std::uint8_t upper = i == 1 ? hi : 0xBF;
    if (i >= left || byte(i) < lower || byte(i) > upper) return fail(i);
  }
  return need + 1;
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8SequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string decodeUtf8Lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t bad = 1;
    const std::size_t n = utf8SequenceLength(text, i, &bad);
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  return out;
}

void repairUtf8(std::string& text) {
  if (!isValidUtf8(text)) text = decodeUtf8Lossy(text);
}

}  // namespace tamsel
