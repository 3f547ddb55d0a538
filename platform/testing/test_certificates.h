// Certificates made in-process for tests that the fixed test PKI does not cover (expired leaves,
// wrong key usages, odd subjects).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/codesign/openssl_ptr.h"

namespace tamsel::codesign {

struct KeyAndCertificate {
  EvpPkeyPtr key;
  X509Ptr certificate;
};

struct CertificateRecipe {
  std::vector<std::pair<std::string, std::string>> subject;  // ("OU", "..."); repeats allowed
  bool ca = false;
  std::optional<std::string> keyUsage = "critical,digitalSignature";
  std::optional<std::string> extendedKeyUsage = "codeSigning";
  long notBeforeDays = -1;  // relative to now
  long notAfterDays = 365;
};

// Issued by issuer, or self-signed when issuer is null. EC P-256, SHA-256.
KeyAndCertificate makeCertificate(const CertificateRecipe& shape, const KeyAndCertificate* issuer);

KeyAndCertificate loadKeyAndCertificate(const std::string& keyPath, const std::string& certPath);

// Writes key.pem and cert.pem under prefix ("dir/name" -> dir/name.key, dir/name.pem).
void writeKeyAndCertificate(const KeyAndCertificate& pair, const std::string& prefix);

}  // namespace tamsel::codesign
