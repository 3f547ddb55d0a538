// The steps of a validity check, in the order staticCodeCheckValidity runs them. Internal.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/codesign/code_signing.h"
#include "platform/codesign/openssl_ptr.h"
#include "platform/codesign/signature_trailer.h"
#include "platform/codesign/signing_facts.h"

namespace tamsel::codesign {

// The private OID (under the UUID arc 2.25) of the signed attribute that carries the signing
// identifier as a UTF8String.
inline constexpr char kIdentifierAttributeOid[] = "2.25.277964977253266379821981817114434361899";
const ASN1_OBJECT* identifierAttributeObject();

struct EmbeddedSignature {
  TrailerLayout layout;
  CmsPtr cms;
  CMS_SignerInfo* signerInfo = nullptr;  // the one signer, owned by cms
  X509* signer = nullptr;                // its certificate, owned by cms
  std::optional<std::string> identifier;
};

// Finds and decodes the signature at the end of the file: errSecCSUnsigned without a trailer,
// errSecCSBadObjectFormat when the trailer or the CMS is not what a signer writes (not detached
// SignedData over id-data, not exactly one signer, no signed attributes, a digest other than
// SHA-256, no signer certificate, a malformed identifier attribute).
OSStatus readEmbeddedSignature(int fd, EmbeddedSignature& out);

// The CMS part of the above, for DER already in memory; out.layout is left alone.
OSStatus decodeEmbeddedCms(std::span<const unsigned char> der, EmbeddedSignature& out);

// The SHA-256 of the first length bytes, read in reused chunks. False on a read error.
bool sha256OfPrefix(int fd, std::uint64_t length, std::array<unsigned char, 32>& out);

// The content digest matches the signed messageDigest and the signer's signature over the signed
// attributes holds: errSecSuccess or errSecCSSignatureFailed.
OSStatus verifySignedContent(int fd, EmbeddedSignature& signature);

// Builds the signer's chain to the anchor from the certificates the CMS carries, without time
// checks, and applies the code-signing key-usage rules. Fills facts.chain (leaf first) either way;
// facts.chainTrusted tells whether the chain holds.
void evaluateChain(const EmbeddedSignature& signature, X509* anchor, SigningFacts& facts);

CertificateFacts certificateFacts(X509* certificate);

}  // namespace tamsel::codesign
