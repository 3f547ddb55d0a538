// The signed content: its digest, read in chunks, against the signer's signed attributes.
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <vector>

#include "platform/codesign/file_reading.h"
#include "platform/codesign/signature_checks.h"

namespace tamsel::codesign {
namespace {

constexpr std::size_t kChunkSize = std::size_t{128} * 1024;

const EVP_MD* sha256() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

// One buffer per thread, reused by every check on that thread: fresh pages cost more than hashing.
unsigned char* chunkBuffer() {
  thread_local std::vector<unsigned char> buffer;
  if (buffer.empty()) buffer.resize(kChunkSize);
  return buffer.data();
}

}  // namespace

bool sha256OfPrefix(int fd, std::uint64_t length, std::array<unsigned char, 32>& out) {
  const EVP_MD* md = sha256();
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (md == nullptr || !ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
  unsigned char* buffer = chunkBuffer();
  std::uint64_t offset = 0;
  while (offset < length) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, length - offset));
    if (!preadFully(fd, buffer, n, offset)) return false;
    if (EVP_DigestUpdate(ctx.get(), buffer, n) != 1) return false;
    offset += n;
  }
  unsigned int size = 0;
  return EVP_DigestFinal_ex(ctx.get(), out.data(), &size) == 1 && size == out.size();
}

OSStatus verifySignedContent(int fd, EmbeddedSignature& signature) {
  std::array<unsigned char, 32> digest{};
  if (!sha256OfPrefix(fd, signature.layout.contentLength, digest)) return errSecCSSignatureFailed;
  const auto* signedDigest = static_cast<const ASN1_OCTET_STRING*>(CMS_signed_get0_data_by_OBJ(
      signature.signerInfo, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
  if (signedDigest == nullptr ||
      ASN1_STRING_length(signedDigest) != static_cast<int>(digest.size()) ||
      CRYPTO_memcmp(ASN1_STRING_get0_data(signedDigest), digest.data(), digest.size()) != 0) {
    return errSecCSSignatureFailed;
  }
  if (CMS_SignerInfo_verify(signature.signerInfo) != 1) return errSecCSSignatureFailed;
  return errSecSuccess;
}

}  // namespace tamsel::codesign
