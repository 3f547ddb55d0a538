// The keychain tool, "/usr/bin/security", as the root-CA operations run it: the listing of the
// System keychain, and the runner of the changes they make to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catrust/certificate_model.h"
#include "platform/log/logger.h"
#include "platform/pinned_home.h"
#include "service/reply_shapes.h"

namespace tamsel {

inline constexpr std::string_view kSecurityTool = "/usr/bin/security";
inline constexpr std::string_view kSystemKeychain = "/Library/Keychains/System.keychain";

// The tool's standard output for "find-certificate -a -p <System keychain>", or nothing when
// it cannot be started or exits non-zero (each logged at error level with its reason) or prints
// something that is not UTF-8 (not logged).
std::optional<std::string> systemKeychainCertsPEM(const log::Logger& logger);

// The records of the listing's certificates named "Tamsel Local CA", in listing order; none when
// the listing gave nothing.
std::vector<CASystemKeychainReconciler::ExistingCert> systemKeychainLocalCACerts(
    const log::Logger& logger);

// What a run of the tool for a change came to: no message on success.
struct SecurityOutcome {
  Message message;
  std::int32_t code = 0;  // the errno of a failed launch; 0 otherwise
};

// Runs the tool with arguments, its standard output the helper's own and its standard error
// captured. A non-zero exit is "security <first argument> failed (exit <status>): <standard
// error as written, or nothing when it is not UTF-8>"; a failed launch is "Failed to run
// /usr/bin/security: <reason>" with its errno. Logs nothing.
SecurityOutcome runSecurity(const std::vector<std::string>& arguments);

// The same for arguments that name a path in home: the tool runs confined to the pinned home
// (PinnedHome::startConfined), so it follows no link inside it; a confinement that cannot be set
// up is a failed launch.
SecurityOutcome runSecurity(const PinnedHome& home, const std::vector<std::string>& arguments);

}  // namespace tamsel
