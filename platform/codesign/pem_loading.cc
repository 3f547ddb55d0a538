#include "platform/codesign/pem_loading.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <string>

#include "platform/codesign/file_reading.h"

namespace tamsel::codesign {
namespace {

constexpr std::size_t kMaxPemFile = std::size_t{1024} * 1024;

std::string opensslReason() {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : "no PEM data";
}

int noPassword(char*, int, int, void*) {
  return -1;
}

}  // namespace

Result<EvpPkeyPtr> loadPrivateKey(std::string_view path) {
  auto pem = readSmallFile(path, kMaxPemFile);
  if (!pem) return pem.error();
  BioPtr bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
  EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassword, nullptr) : nullptr);
  if (!key) {
    return Error{EINVAL,
                 "cannot read a private key from " + std::string(path) + ": " + opensslReason()};
  }
  return key;
}

Result<X509StackPtr> loadCertificates(std::string_view path) {
  auto pem = readSmallFile(path, kMaxPemFile);
  if (!pem) return pem.error();
  BioPtr bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
  X509StackPtr certs(sk_X509_new_null());
  if (!bio || !certs) return Error{ENOMEM, "out of memory"};
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, noPassword, nullptr)) {
    if (sk_X509_push(certs.get(), cert) <= 0) {
      X509_free(cert);
      return Error{ENOMEM, "out of memory"};
    }
  }
  const unsigned long last = ERR_peek_last_error();
  const bool cleanEnd =
      ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
  if (sk_X509_num(certs.get()) == 0 || (last != 0 && !cleanEnd)) {
    return Error{EINVAL,
                 "cannot read certificates from " + std::string(path) + ": " + opensslReason()};
  }
  ERR_clear_error();
  return certs;
}

}  // namespace tamsel::codesign
