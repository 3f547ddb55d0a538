// The code requirement that clients, and the command-line tool before it is installed, satisfy.
#pragma once

#include <string>

namespace tamsel {

inline constexpr char kSigningTeamIdentifier[] = "Q4TZ7WMR2K";

// Built once on first use, then shared.
const std::string& codeSigningRequirement();

}  // namespace tamsel
