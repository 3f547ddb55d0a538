// Certificate files named on the command line, and the PEM form the tool prints.
#pragma once

#include <cstddef>
#include <string>

#include "platform/result.h"
#include "tools/security/keychain.h"

namespace tamsel::security {

// No certificate file is larger; the read stops there.
inline constexpr std::size_t kMaxCertificateFileBytes = std::size_t{1} << 20;

struct CertificateFile {
  StoredCertificate certificate;  // not trusted
  std::string subject;            // one line, RFC 2253
};

// The certificate in the regular file at path, PEM or DER. Of a PEM file with several blocks
// the last counts, as the helper reads it. Nothing else at path is opened for reading, and a
// file's bytes never appear in an error.
Result<CertificateFile> readCertificateFile(const std::string& path);

// "-----BEGIN CERTIFICATE-----", the base64 of der in lines of 64, the end marker; each line
// ends with a line feed.
std::string pemFromDER(const std::string& der);

}  // namespace tamsel::security
