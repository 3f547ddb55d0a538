// JSON text as the platform's serializer writes it without options.
#pragma once

#include <string>
#include <string_view>

namespace tamsel {

// Appends text as a JSON string, quotes included: quotation mark, reverse solidus and solidus
// ("\/") escaped, \b \f \n \r \t for those controls and \u00xx for the other characters below
// 0x20, everything else as the UTF-8 it is. Text that is not valid UTF-8 cannot be written:
// out is left as it was and the result is false.
bool appendJsonString(std::string& out, std::string_view text);

}  // namespace tamsel
