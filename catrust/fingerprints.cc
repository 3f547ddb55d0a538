#include <openssl/evp.h>

#include "catrust/certificate_model.h"

namespace tamsel::CASystemKeychainReconciler {
namespace {

std::string hexDigest(const EVP_MD* md, std::string_view bytes, const char* digits) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, md, nullptr) != 1) {
    return {};  // only when OpenSSL cannot allocate; no fingerprint matches the empty text
  }
  std::string out;
  out.reserve(std::size_t{size} * 2);
  for (unsigned int i = 0; i < size; ++i) {
    out.push_back(digits[digest[i] >> 4]);
    out.push_back(digits[digest[i] & 0x0F]);
  }
  return out;
}

}  // namespace

std::string sha1Fingerprint(std::string_view bytes) {
  return hexDigest(EVP_sha1(), bytes, "0123456789ABCDEF");
}

std::string sha256Fingerprint(std::string_view bytes) {
  return hexDigest(EVP_sha256(), bytes, "0123456789abcdef");
}

}  // namespace tamsel::CASystemKeychainReconciler
