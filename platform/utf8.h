// UTF-8 checks for bytes that come from outside: tool output, user-database fields, log text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tamsel {

// Length of the well-formed sequence starting at text[pos], or 0 when the bytes there are not
// one (truncated, overlong, a surrogate, above U+10FFFF, a stray continuation byte); then
// *illFormed, if given, is the length of the maximal ill-formed subpart (at least 1).
std::size_t utf8SequenceLength(std::string_view text, std::size_t pos,
                               std::size_t* illFormed = nullptr);

bool isValidUtf8(std::string_view text);

// text with every maximal ill-formed subpart replaced by one U+FFFD.
std::string decodeUtf8Lossy(std::string_view text);

// The same, in place; valid text is left untouched.
void repairUtf8(std::string& text);

}  // namespace tamsel
