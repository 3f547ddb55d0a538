// What the helper that writes the per-domain resolver files and the resolver that reads them
// agree on: which labels name a file, and the marker line that opens every file the helper wrote
// ("# Tamsel — auto-generated resolver for .<label> domains").
#pragma once

#include <string_view>

namespace tamsel {

inline constexpr std::string_view kResolverDirectory = "/etc/resolver";

inline constexpr std::string_view kResolverMarkerHead =
    "# Tamsel \xE2\x80\x94 auto-generated resolver for .";
inline constexpr std::string_view kResolverMarkerTail = " domains";

// A single DNS label: 1 to 63 bytes of "a"-"z", "0"-"9" and "-", not starting or ending
// with "-".
constexpr bool isValidDNSLabel(std::string_view label) noexcept {
  if (label.empty() || label.size() > 63) return false;
  for (char c : label) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (!allowed) return false;
  }
  return label.front() != '-' && label.back() != '-';
}

}  // namespace tamsel
