#include "catrust/base64.h"

#include <array>
#include <cstdint>

namespace tamsel::base64 {
namespace {

constexpr std::uint8_t kPad = 64;
constexpr std::uint8_t kOther = 255;

constexpr std::array<std::uint8_t, 256> makeTable() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kOther;
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    t[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  t['='] = kPad;
  return t;
}
constexpr std::array<std::uint8_t, 256> kTable = makeTable();

std::uint8_t valueOf(char c) {
  return kTable[static_cast<unsigned char>(c)];
}

}  // namespace

std::optional<std::string> decodeStrict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const std::uint8_t v = valueOf(text[i + j]);
      if (v == kPad && last && j >= 4 - padding) {
        group <<= 6;
        continue;
      }
      if (v >= kPad) return std::nullopt;
      group = (group << 6) | v;
    }
    out.push_back(static_cast<char>(group >> 16));
    if (!last || padding < 2) out.push_back(static_cast<char>(group >> 8));
    if (!last || padding < 1) out.push_back(static_cast<char>(group));
  }
  return out;
}

std::optional<std::string> decodeIgnoringOthers(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (const char c : text) {
    if (valueOf(c) != kOther) kept.push_back(c);
  }
  return decodeStrict(kept);
}

}  // namespace tamsel::base64
