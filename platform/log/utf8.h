// UTF-8 checks shared by the log writer (which stores only valid text) and the export (which
// must never emit invalid text).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tamsel::log {

// Length of the valid UTF-8 sequence starting at text[pos], or 0 when the bytes there are not
// one (truncated, overlong, a surrogate, above U+10FFFF, a stray continuation byte).
std::size_t utf8SequenceLength(std::string_view text, std::size_t pos);

bool isValidUtf8(std::string_view text);

// Replaces every invalid byte with U+FFFD, in place. Valid text is left untouched.
void repairUtf8(std::string& text);

// The longest prefix of text of at most maxBytes that does not end inside a sequence.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

}  // namespace tamsel::log
