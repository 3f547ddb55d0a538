#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "platform/codesign/file_reading.h"
#include "platform/codesign/static_code.h"
#include "platform/identity.h"

namespace tamsel::codesign {

std::shared_ptr<const Anchor> anchorFromPemFile(std::string_view path) {
  auto pem = readSmallFile(path, std::size_t{64} * 1024);
  if (!pem) return nullptr;
  BioPtr bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
  X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  if (!cert) return nullptr;
  // Fill the certificate's extension cache now, so concurrent checks only read it.
  X509_check_purpose(cert.get(), -1, 0);
  return std::make_shared<const Anchor>(std::move(cert));
}

std::shared_ptr<const Anchor> platformAnchor() {
  return anchorFromPemFile(kCodeSigningAnchorPath);
}

}  // namespace tamsel::codesign
