#include <openssl/x509.h>

#include <memory>

#include "catrust/certificate_model.h"
#include "catrust/name_normal_form.h"

namespace tamsel::CASystemKeychainReconciler {
namespace {

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The certificate, when bytes are exactly one: d2i reads a prefix, so trailing bytes are
// refused here.
X509Ptr parseCertificate(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
  if (cert != nullptr && p != end) cert.reset();
  return cert;
}

}  // namespace

bool isCertificate(std::string_view bytes) {
  return parseCertificate(bytes) != nullptr;
}

std::optional<ExistingCert> existingCertFromDER(std::string_view der) {
  const X509Ptr cert = parseCertificate(der);
  if (!cert) return std::nullopt;
  const X509_NAME* subject = X509_get_subject_name(cert.get());
  std::string commonName = commonNameOf(subject).value_or(std::string());
  if (commonName != localCACommonName) return std::nullopt;
  // The bytes are the certificate's whole encoding, so the fingerprints are taken over them.
  const auto subjectForm = normalizedName(subject);
  const auto issuerForm = normalizedName(X509_get_issuer_name(cert.get()));
  return ExistingCert{sha1Fingerprint(der), sha256Fingerprint(der), std::move(commonName),
                      subjectForm && issuerForm && *subjectForm == *issuerForm};
}

std::vector<ExistingCert> existingCertsFromPEM(std::string_view text) {
  std::vector<ExistingCert> records;
  for (const std::string& der : certificatesFromPEM(text)) {
    if (auto record = existingCertFromDER(der)) records.push_back(std::move(*record));
  }
  return records;
}

}  // namespace tamsel::CASystemKeychainReconciler
