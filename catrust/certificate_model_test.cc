#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catrust/certificate_model.h"
#include "catrust/reconcile_plan.h"

namespace tamsel::CASystemKeychainReconciler {
namespace {

struct Attribute {
  const char* field;
  std::string value;
  int type = V_ASN1_UTF8STRING;
};
using Name = std::vector<Attribute>;

// A DER certificate with these names, signed by one key whatever the issuer says.
std::string makeCertificate(const Name& subject, const Name& issuer) {
  static EVP_PKEY* const key = EVP_EC_gen("P-256");
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  const auto fill = [](X509_NAME* name, const Name& attributes) {
    for (const Attribute& a : attributes) {
      X509_NAME_add_entry_by_txt(name, a.field, a.type,
                                 reinterpret_cast<const unsigned char*>(a.value.data()),
                                 static_cast<int>(a.value.size()), -1, 0);
    }
  };
  fill(X509_get_subject_name(cert.get()), subject);
  fill(X509_get_issuer_name(cert.get()), issuer);
  X509_set_pubkey(cert.get(), key);
  X509_sign(cert.get(), key, EVP_sha256());
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert.get(), &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  return out;
}

const Name kLocalCA = {{"CN", "Tamsel Local CA"}, {"O", "Tamsel Dev"}};
std::string selfSigned(const Name& name) {
  return makeCertificate(name, name);
}

std::string base64(const std::string& der) {
  std::string out(4 * ((der.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(der.data()),
                                static_cast<int>(der.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string pem(const std::string& der, const std::string& lineEnd = "\n") {
  std::string out = "-----BEGIN CERTIFICATE-----" + lineEnd;
  const std::string body = base64(der);
  for (std::size_t i = 0; i < body.size(); i += 64) out += body.substr(i, 64) + lineEnd;
  return out + "-----END CERTIFICATE-----" + lineEnd;
}

TEST(CertificateModel, SplitsTheKeychainListing) {
  const std::string a = selfSigned(kLocalCA), b = selfSigned({{"CN", "Other"}});
  const std::string begin = "-----BEGIN CERTIFICATE-----\n", end = "-----END CERTIFICATE-----\n";
  std::string spaced = base64(a);
  spaced.insert(10, " *\t ").insert(40, "\r\n");
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> expected;
  } cases[] = {
      {"empty text", "", {}},
      {"no end marker", begin + base64(a) + "\n", {}},
      {"trailing unterminated block", pem(a) + begin + base64(b) + "\n", {a}},
      {"two begin markers", begin + base64(b) + "\n" + pem(a), {a}},
      {"labels and stray characters",
       "keychain: \"x\"\nlabel=1\n" + begin + spaced + "\n" + end,
       {a}},
      {"empty body", begin + end + pem(b), {b}},
      {"body that does not decode", begin + "QUJD=A==\n" + end, {}},
      {"two blocks", pem(a) + pem(b), {a, b}},
  };
  for (const auto& c : cases) EXPECT_EQ(certificatesFromPEM(c.text), c.expected) << c.name;
}

TEST(CertificateModel, FingerprintFormats) {
  EXPECT_EQ(sha1Fingerprint("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(sha256Fingerprint("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string der = selfSigned(kLocalCA);
  const auto record = existingCertFromDER(der);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record,
            (ExistingCert{sha1Fingerprint(der), sha256Fingerprint(der), "Tamsel Local CA", true}));
  EXPECT_EQ(existingCertsFromPEM("x" + pem(der) + pem(selfSigned({{"CN", "Other"}}))),
            std::vector<ExistingCert>{*record});
}

TEST(CertificateModel, OnlyTheExactCommonNameMakesARecord) {
  const struct {
    const char* name;
    std::string der;
  } refused[] = {
      {"suffix", selfSigned({{"CN", "Tamsel Local CA 2"}})},
      {"leading blank", selfSigned({{"CN", " Tamsel Local CA"}})},
      {"other case", selfSigned({{"CN", "Tamsel local CA"}})},
      {"no common name", selfSigned({{"O", "Tamsel Local CA"}})},
      {"not a certificate", "Tamsel Local CA"},
      {"a byte after the certificate", selfSigned(kLocalCA) + '\0'},
  };
  for (const auto& c : refused) EXPECT_FALSE(existingCertFromDER(c.der)) << c.name;
}

TEST(CertificateModel, SelfSignedMeansEqualNamesInNormalForm) {
  const struct {
    const char* name;
    Name issuer;
    bool selfSigned;
  } cases[] = {
      {"same name", kLocalCA, true},
      {"differs in case and blanks", {{"CN", "  tamsel   LOCAL ca "}, {"O", "TAMSEL\tDEV"}}, true},
      {"other string type",
       {{"CN", "Tamsel Local CA", V_ASN1_PRINTABLESTRING}, {"O", "Tamsel Dev"}},
       true},
      {"issued by another CA", {{"CN", "Some Root"}, {"O", "Tamsel Dev"}}, false},
      {"attributes in another order", {{"O", "Tamsel Dev"}, {"CN", "Tamsel Local CA"}}, false},
      {"unreadable issuer", {{"CN", "odd", V_ASN1_BMPSTRING}}, false},
  };
  for (const auto& c : cases) {
    const auto record = existingCertFromDER(makeCertificate(kLocalCA, c.issuer));
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ(record->isSelfSigned, c.selfSigned) << c.name;
  }
}

TEST(CertificateModel, ReadsTheCertificateFile) {
  const std::string a = selfSigned(kLocalCA), b = selfSigned({{"CN", "Other"}});
  std::string blankInside = pem(a);
  blankInside.insert(blankInside.find('\n') + 20, " ");
  const std::string nbsp = "\xC2\xA0", ideographic = "\xE3\x80\x80", emSpace = "\xE2\x80\x83";
  const struct {
    const char* name;
    std::string contents;
    std::optional<std::string> der;
  } cases[] = {
      {"DER", a, a},
      {"PEM", pem(a), a},
      {"bare base64", base64(a), a},
      {"two certificates", pem(b) + pem(a), a},
      {"blank inside a line", blankInside, std::nullopt},
      {"CR LF and surrounding blanks", " \t" + nbsp + pem(a, "\r\n") + ideographic + " ", a},
      {"space separators", emSpace + base64(a) + emSpace, a},
      {"a zero-width space is no separator", "\xE2\x80\x8B" + base64(a), std::nullopt},
      {"empty file", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(derFromCertificateFile(c.contents), c.der) << c.name;
}

TEST(CertificateModel, PlansTheReconcile) {
  const auto record = [](const char* sha256, bool selfSigned,
                         const char* name = "Tamsel Local CA") {
    return ExistingCert{"SHA1", sha256, name, selfSigned};
  };
  const std::vector<ExistingCert> keychain = {record("aa", true), record("bb", false),
                                              record("cc", true), record("dd", true, "Other"),
                                              record("ee", true)};
  const struct {
    const char* newSHA256;
    std::vector<ExistingCert> stale;
    bool needsAdd;
  } cases[] = {
      {"CC", {keychain[0], keychain[4]}, false},
      {"ff", {keychain[0], keychain[2], keychain[4]}, true},
      {"bb", {keychain[0], keychain[2], keychain[4]}, true},
      {"dd", {keychain[0], keychain[2], keychain[4]}, true},
  };
  for (const auto& c : cases) {
    const ReconcilePlan plan = planReconcile(c.newSHA256, keychain);
    EXPECT_EQ(plan.stale, c.stale) << c.newSHA256;
    EXPECT_EQ(plan.needsAdd, c.needsAdd) << c.newSHA256;
  }
  EXPECT_TRUE(planReconcile("aa", {}).needsAdd);
}

}  // namespace
}  // namespace tamsel::CASystemKeychainReconciler
