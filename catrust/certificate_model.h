// The certificate model of the root-CA operations: the record of one keychain certificate named
// after the application's CA, the two fingerprint formats, the splitting of the keychain tool's
// PEM listing, and the reading of the application's CA certificate file. Pure functions over
// bytes and text; nothing here logs, replies or touches the file system. Byte strings are held
// in std::string.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel::CASystemKeychainReconciler {

// The common name of the application's own root CA. Only certificates of exactly this name
// become records.
inline constexpr std::string_view localCACommonName = "Tamsel Local CA";

inline constexpr std::string_view kPemBeginMarker = "-----BEGIN CERTIFICATE-----";
inline constexpr std::string_view kPemEndMarker = "-----END CERTIFICATE-----";

// One certificate of the keychain. Equal when all four fields are equal (text exactly).
struct ExistingCert {
  std::string sha1;           // SHA-1 of the DER: 40 upper-case hexadecimal digits
  std::string sha256;         // SHA-256 of the DER: 64 lower-case hexadecimal digits
  std::string commonName;     // the subject's common name
  bool isSelfSigned = false;  // the issuer name equals the subject name in normal form

  friend bool operator==(const ExistingCert&, const ExistingCert&) = default;
};

// The digest of bytes, each byte as two hexadecimal digits: upper case for SHA-1, lower case
// for SHA-256, no separators.
std::string sha1Fingerprint(std::string_view bytes);
std::string sha256Fingerprint(std::string_view bytes);

// True when bytes are exactly one DER X.509 certificate (no bytes before or after it).
bool isCertificate(std::string_view bytes);

// The DER bodies of the certificate blocks of a PEM text as the keychain tool lists it: the
// text is cut at every end marker, and the text after the last one is never looked at; a piece
// without a begin marker is skipped, and of one with several only the text after the last
// counts; that body is decoded as base64 ignoring every character outside the alphabet; a body
// that does not decode, or decodes to no bytes, is skipped.
std::vector<std::string> certificatesFromPEM(std::string_view text);

// The record of one DER certificate, or nothing when the bytes are no certificate or its
// subject's common name is not exactly localCACommonName.
std::optional<ExistingCert> existingCertFromDER(std::string_view der);

// existingCertFromDER of every block of certificatesFromPEM(text) that makes a record, in order.
std::vector<ExistingCert> existingCertsFromPEM(std::string_view text);

// The DER bytes of a certificate file given its whole contents. Contents that are not UTF-8
// are DER already and come back unchanged. Of a text, the body is what follows the last begin
// marker (all of it without one) up to the first end marker after it (the end without one),
// with every CR and LF removed and tabs and Unicode space separators (category Zs) trimmed at
// both ends; it must then be strict base64, or the result is nothing. The bytes are not checked
// to be a certificate.
std::optional<std::string> derFromCertificateFile(std::string_view contents);

}  // namespace tamsel::CASystemKeychainReconciler
