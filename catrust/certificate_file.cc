#include "catrust/base64.h"
#include "catrust/certificate_model.h"
#include "platform/utf8.h"

namespace tamsel::CASystemKeychainReconciler {
namespace {

// U+0009 and the characters of Unicode general category Zs.
bool isHorizontalBlank(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

// The code point of the well-formed sequence at text[pos], of length n.
char32_t codePointAt(std::string_view text, std::size_t pos, std::size_t n) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  switch (n) {
    case 1:
      return byte(0);
    case 2:
      return (char32_t{byte(0)} & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3:
      return (char32_t{byte(0)} & 0x0F) << 12 | (char32_t{byte(1)} & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (char32_t{byte(0)} & 0x07) << 18 | (char32_t{byte(1)} & 0x3F) << 12 |
             (char32_t{byte(2)} & 0x3F) << 6 | (byte(3) & 0x3F);
  }
}

// text (valid UTF-8) without horizontal blanks at either end.
std::string_view trimmedBlanks(std::string_view text) {
  for (std::size_t n; !text.empty() && (n = utf8SequenceLength(text, 0)) > 0 &&
                      isHorizontalBlank(codePointAt(text, 0, n));) {
    text.remove_prefix(n);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    if (!isHorizontalBlank(codePointAt(text, start, text.size() - start))) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace

std::optional<std::string> derFromCertificateFile(std::string_view contents) {
  if (!isValidUtf8(contents)) return std::string(contents);
  std::string_view body = contents;
  if (const std::size_t begin = body.rfind(kPemBeginMarker); begin != std::string_view::npos) {
    body.remove_prefix(begin + kPemBeginMarker.size());
  }
  if (const std::size_t end = body.find(kPemEndMarker); end != std::string_view::npos) {
    body = body.substr(0, end);
  }
  std::string joined;
  joined.reserve(body.size());
  for (const char c : body) {
    if (c != '\r' && c != '\n') joined.push_back(c);
  }
  return base64::decodeStrict(trimmedBlanks(joined));
}

}  // namespace tamsel::CASystemKeychainReconciler
