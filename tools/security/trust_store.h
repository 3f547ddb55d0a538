// The System keychain's administrator trust settings, mirrored into the system's trust store so
// that TLS clients honour them: one PEM file per trusted certificate in kTrustDirectory, then
// update-ca-certificates. How the two models meet is in docs/CERTIFICATES.md.
#pragma once

#include <string_view>
#include <vector>

#include "platform/result.h"
#include "tools/security/keychain.h"

namespace tamsel::security {

inline constexpr std::string_view kTrustDirectory = "/usr/local/share/ca-certificates/tamsel";
inline constexpr std::string_view kUpdateTrustTool = "/usr/sbin/update-ca-certificates";
inline constexpr std::string_view kTrustBundle = "/etc/ssl/certs/ca-certificates.crt";

// Makes kTrustDirectory hold exactly "<sha256>.crt" for each trusted certificate of
// certificates and no other ".crt" file, and when that changed anything, brings the system's
// trust store up to date.
Status mirrorTrustSettings(const std::vector<StoredCertificate>& certificates);

}  // namespace tamsel::security
