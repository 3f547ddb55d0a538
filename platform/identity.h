// The helper's identity and the fixed places the platform layer keeps things. Nothing here is
// configurable at run time: the daemon reads no configuration file, variable or argument.
#pragma once

#include <string_view>

namespace tamsel {

// Everything before ".TamselHelper" is chosen here, once.
inline constexpr std::string_view kIdentifierPrefix = "app.tamsel";
inline constexpr std::string_view kHelperIdentifier = "app.tamsel.TamselHelper";
static_assert(kHelperIdentifier.substr(0, kIdentifierPrefix.size()) == kIdentifierPrefix);
static_assert(kHelperIdentifier.substr(kIdentifierPrefix.size()) == ".TamselHelper");

// The listening Unix socket of the service named by the identifier.
inline constexpr std::string_view kServiceSocketPath = "/run/app.tamsel.TamselHelper.socket";

// The platform's code-signing root: what "anchor apple generic" means on this platform.
inline constexpr std::string_view kCodeSigningAnchorPath = "/etc/codesign/anchor.pem";

// The platform's log store, shared by every subsystem that logs through the platform.
inline constexpr std::string_view kLogStorePath = "/var/log/unified/log.sqlite3";

// The executable the service manager starts.
inline constexpr std::string_view kHelperExecutablePath =
    "/Applications/Tamsel.app/Contents/MacOS/TamselHelper";

}  // namespace tamsel
