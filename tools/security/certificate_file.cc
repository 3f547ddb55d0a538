#include "tools/security/certificate_file.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "catrust/certificate_model.h"
#include "platform/regular_file.h"

namespace tamsel::security {
namespace {

namespace model = CASystemKeychainReconciler;

std::string subjectOf(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
  if (!cert || !out) return {};
  X509_NAME_print_ex(out.get(), X509_get_subject_name(cert.get()), 0, XN_FLAG_RFC2253);
  char* text = nullptr;
  const long size = BIO_get_mem_data(out.get(), &text);
  return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace

Result<CertificateFile> readCertificateFile(const std::string& path) {
  Result<std::string> contents = readRegularFile(path, kMaxCertificateFileBytes);
  if (!contents) return contents.error();
  std::optional<std::string> der = model::derFromCertificateFile(*contents);
  if (!der || !model::isCertificate(*der)) {
    return Error{0, path + ": not a certificate (PEM or DER)"};
  }
  CertificateFile file;
  file.certificate.sha1 = model::sha1Fingerprint(*der);
  file.certificate.sha256 = model::sha256Fingerprint(*der);
  file.subject = subjectOf(*der);
  file.certificate.der = std::move(*der);
  return file;
}

std::string pemFromDER(const std::string& der) {
  std::string body(4 * ((der.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(body.data()),
                                reinterpret_cast<const unsigned char*>(der.data()),
                                static_cast<int>(der.size()));
  body.resize(static_cast<std::size_t>(n));
  std::string out(model::kPemBeginMarker);
  out += '\n';
  for (std::size_t i = 0; i < body.size(); i += 64) {
    out.append(body, i, 64);
    out += '\n';
  }
  out += model::kPemEndMarker;
  out += '\n';
  return out;
}

}  // namespace tamsel::security
