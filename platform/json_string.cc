#include "platform/json_string.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/utf8.h"

namespace tamsel {

namespace {

// 0: written as it is; 1: escaped; 2: starts a multi-byte (or invalid) sequence.
constexpr auto kClass = [] {
  std::array<unsigned char, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = 1;
  table['"'] = table['\\'] = table['/'] = 1;
  for (int b = 0x80; b < 0x100; ++b) table[b] = 2;
  return table;
}();

// Whether any of the 8 bytes in w is not written as it is (SWAR: no loop over the bytes).
constexpr bool anySpecial(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
  const auto hasZero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  const std::uint64_t below20 = (w - kOnes * 0x20) & ~w & kHigh;
  return ((w & kHigh) | below20 | hasZero(w ^ (kOnes * '"')) | hasZero(w ^ (kOnes * '\\')) |
          hasZero(w ^ (kOnes * '/'))) != 0;
}

}  // namespace

bool appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t start = out.size();
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy the longest run that needs no escaping in one go.
    std::size_t run = i;
    while (run + 8 <= text.size()) {
      std::uint64_t w = 0;
      std::memcpy(&w, text.data() + run, 8);
      if (anySpecial(w)) break;
      run += 8;
    }
    while (run < text.size()) {
      const unsigned char kind = kClass[static_cast<unsigned char>(text[run])];
      if (kind == 0) {
        ++run;
      } else if (kind == 2) {
        const std::size_t n = utf8SequenceLength(text, run);
        if (n == 0) {
          out.resize(start);
          return false;
        }
        run += n;
      } else {
        break;
      }
    }
    out.append(text, i, run - i);
    if (run == text.size()) break;
    const char c = text[run];
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        const auto u = static_cast<unsigned char>(c);
        out += "\\u00";
        out += kHex[u >> 4];
        out += kHex[u & 0xF];
      }
    }
    i = run + 1;
  }
  out += '"';
  return true;
}

}  // namespace tamsel
