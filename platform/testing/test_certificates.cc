#include "platform/testing/test_certificates.h"

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace tamsel::codesign {
namespace {

using FilePtr = std::unique_ptr<FILE, decltype(&std::fclose)>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

KeyAndCertificate makeCertificate(const CertificateRecipe& shape, const KeyAndCertificate* issuer) {
  KeyAndCertificate out;
  out.key.reset(EVP_EC_gen("P-256"));
  check(out.key != nullptr, "key");
  out.certificate.reset(X509_new());
  X509* cert = out.certificate.get();
  X509_set_version(cert, 2);
  std::uint64_t serial = 0;  // random, so that no two certificates share issuer and serial
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), shape.notBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert), shape.notAfterDays * 86400L);
  X509_NAME* name = X509_get_subject_name(cert);
  for (const auto& [type, value] : shape.subject) {
    X509_NAME_add_entry_by_txt(name, type.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, 0);
  }
  X509* issuerCert = issuer != nullptr ? issuer->certificate.get() : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
  X509_set_pubkey(cert, out.key.get());
  addExtension(cert, issuerCert, NID_basic_constraints,
               shape.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  addExtension(cert, issuerCert, NID_subject_key_identifier, "hash");
  if (issuer != nullptr)
    addExtension(cert, issuerCert, NID_authority_key_identifier, "keyid:always");
  if (shape.ca) {
    addExtension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else if (shape.keyUsage) {
    addExtension(cert, issuerCert, NID_key_usage, *shape.keyUsage);
  }
  if (shape.extendedKeyUsage)
    addExtension(cert, issuerCert, NID_ext_key_usage, *shape.extendedKeyUsage);
  EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : out.key.get();
  check(X509_sign(cert, signingKey, EVP_sha256()) > 0, "sign");
  return out;
}

KeyAndCertificate loadKeyAndCertificate(const std::string& keyPath, const std::string& certPath) {
  KeyAndCertificate out;
  FilePtr k(std::fopen(keyPath.c_str(), "re"), &std::fclose);
  FilePtr c(std::fopen(certPath.c_str(), "re"), &std::fclose);
  check(k && c, "open PKI file");
  out.key.reset(PEM_read_PrivateKey(k.get(), nullptr, nullptr, nullptr));
  out.certificate.reset(PEM_read_X509(c.get(), nullptr, nullptr, nullptr));
  check(out.key && out.certificate, "read PKI file");
  return out;
}

void writeKeyAndCertificate(const KeyAndCertificate& pair, const std::string& prefix) {
  FilePtr k(std::fopen((prefix + ".key").c_str(), "we"), &std::fclose);
  FilePtr c(std::fopen((prefix + ".pem").c_str(), "we"), &std::fclose);
  check(k && c, "create PEM file");
  check(PEM_write_PrivateKey(k.get(), pair.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "write key");
  check(PEM_write_X509(c.get(), pair.certificate.get()) == 1, "write certificate");
}

}  // namespace tamsel::codesign
