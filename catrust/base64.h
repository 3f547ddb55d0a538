// Base64 of the standard alphabet (RFC 4648, section 4), decoding only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamsel::base64 {

// Every character must be in the alphabet or be "=" padding: whole groups of four, with one or
// two "=" only at the very end. Bits left over after the last byte are ignored. The empty text
// decodes to no bytes.
std::optional<std::string> decodeStrict(std::string_view text);

// The same after dropping every character that is neither in the alphabet nor "=".
std::optional<std::string> decodeIgnoringOthers(std::string_view text);

}  // namespace tamsel::base64
