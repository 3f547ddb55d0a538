// Signing files and reading what a signature carries: for the signing tool and tests. The daemon
// only checks (code_signing.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/codesign/code_signing.h"
#include "platform/result.h"

namespace tamsel::codesign {

struct SigningIdentity {
  std::string privateKeyPath;             // PEM, unencrypted
  std::string certificatePath;            // PEM, the signer's certificate
  std::string chainPath;                  // PEM, intermediates to carry; empty for none
  std::optional<std::string> identifier;  // the signed identifier attribute, when wanted
};

// Writes a signed copy of input at output (the same path re-signs in place). A signature that
// input already carries is replaced, not signed over. The copy is written beside output and
// renamed over it; it keeps output's mode when output exists, input's otherwise.
Status signFile(std::string_view input, std::string_view output, const SigningIdentity& identity);

struct CertificateSummary {
  std::string subject;  // RFC 2253 form
  std::string issuer;
  std::string sha256;  // fingerprint of the DER, upper-case hex
};

struct SigningInformation {
  std::uint64_t contentLength = 0;  // bytes the signature covers
  std::uint32_t signatureLength = 0;
  std::optional<std::string> identifier;
  std::vector<CertificateSummary> certificates;  // the signer first, then the others carried
  std::vector<std::pair<std::string, std::string>> leafSubject;  // ("OU", "Q4TZ7WMR2K"), ...
};

// Decodes the signature a file carries, without checking it: errSecCSUnsigned,
// errSecCSBadObjectFormat or errSecSuccess.
OSStatus copySigningInformation(const StaticCode& code, SigningInformation& out);

}  // namespace tamsel::codesign
