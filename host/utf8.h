// UTF-8 checks for bytes that come from outside: tool output, user-database fields.
#pragma once

#include <string>
#include <string_view>

namespace tamsel {

// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// bytes with every ill-formed sequence replaced by U+FFFD, one per maximal ill-formed subpart.
std::string decodeUtf8Lossy(std::string_view bytes);

}  // namespace tamsel
