#include "platform/codesign/code_signing.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/codesign/code_signing_tools.h"
#include "platform/codesign/signature_checks.h"
#include "platform/codesign/signature_trailer.h"
#include "platform/testing/scratch_dir.h"
#include "platform/testing/test_certificates.h"
#include "service/code_signing_requirement.h"

namespace tamsel::codesign {
namespace {

namespace fs = std::filesystem;

const std::string kPki = TAMSEL_TEST_PKI_DIR;

void writeAll(const std::string& path, std::string_view data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

SigningIdentity pkiIdentity(const std::string& name, std::optional<std::string> identifier = {}) {
  SigningIdentity id{kPki + "/" + name + ".key", kPki + "/" + name + ".pem", "",
                     std::move(identifier)};
  if (name == "team") id.chainPath = kPki + "/team-chain.pem";
  return id;
}

CertificateRecipe teamLeaf() {
  CertificateRecipe recipe;
  recipe.subject = {{"CN", "Made Here"}, {"OU", kSigningTeamIdentifier}};
  return recipe;
}

class CodeSigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(42);
    content_.resize(300 * 1024 + 17);  // spans several read chunks, not a multiple of any
    for (char& c : content_) c = static_cast<char>(rng());
    writeAll(plain_, content_);
    root_ = anchorFromPemFile(kPki + "/root.pem");
    ASSERT_NE(root_, nullptr);
  }

  std::string signedAs(const std::string& identity, std::optional<std::string> identifier = {}) {
    const std::string out = dir_.file("signed-" + identity);
    Status s = signFile(plain_, out, pkiIdentity(identity, std::move(identifier)));
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().description);
    return out;
  }

  // A file signed by signer, carrying intermediate when given.
  std::string signedBy(const KeyAndCertificate& signer, const KeyAndCertificate* intermediate) {
    const std::string name = dir_.file("signer" + std::to_string(++signers_));
    writeKeyAndCertificate(signer, name);
    SigningIdentity id{name + ".key", name + ".pem", "", {}};
    if (intermediate != nullptr) {
      writeKeyAndCertificate(*intermediate, name + "-ca");
      id.chainPath = name + "-ca.pem";
    }
    EXPECT_TRUE(signFile(plain_, name + ".signed", id).ok());
    return name + ".signed";
  }

  OSStatus check(const std::string& path, std::string_view requirement = codeSigningRequirement(),
                 const Anchor* anchor = nullptr) {
    std::shared_ptr<const Requirement> req;
    EXPECT_EQ(requirementCreateWithString(requirement, req), errSecSuccess);
    std::shared_ptr<const StaticCode> code;
    const OSStatus opened = staticCodeCreateWithPath(path, code);
    if (opened != errSecSuccess) return opened;
    return staticCodeCheckValidity(*code, *req, anchor != nullptr ? anchor : root_.get());
  }

  ScratchDir dir_{"codesign"};
  const std::string plain_ = dir_.file("plain");
  std::string content_;
  std::shared_ptr<const Anchor> root_;
  int signers_ = 0;
};

// Signing in place replaces an earlier signature and keeps the content and the mode.
TEST_F(CodeSigningTest, SignedFileVerifiesAndKeepsItsContentAndMode) {
  const std::string file = dir_.file("inplace");
  writeAll(file, content_);
  ASSERT_EQ(::chmod(file.c_str(), 0751), 0);
  ASSERT_TRUE(signFile(file, "", pkiIdentity("otherteam")).ok());
  EXPECT_EQ(check(file), errSecCSReqFailed);
  ASSERT_TRUE(signFile(file, "", pkiIdentity("team", "app.tamsel.cli")).ok());
  EXPECT_EQ(check(file), errSecSuccess);
  const std::string bytes = ScratchDir::read(file);
  EXPECT_EQ(bytes.substr(0, content_.size()), content_);
  EXPECT_TRUE(bytes.ends_with(kSignatureMagic));

  SigningInformation info;
  std::shared_ptr<const StaticCode> code;
  ASSERT_EQ(staticCodeCreateWithPath(file, code), errSecSuccess);
  ASSERT_EQ(copySigningInformation(*code, info), errSecSuccess);
  EXPECT_EQ(info.contentLength, content_.size());  // the old signature is gone, not covered
  EXPECT_EQ(info.identifier, "app.tamsel.cli");
  EXPECT_EQ(info.certificates.size(), 2u);  // leaf and intermediate; the root is not carried
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".signing."), std::string::npos);
  }
}

TEST_F(CodeSigningTest, WrongSignersFailTheRequirement) {
  EXPECT_EQ(check(signedAs("otherteam")), errSecCSReqFailed);
  EXPECT_EQ(check(signedAs("otherteam"), "anchor apple"), errSecSuccess);  // directly under root
  EXPECT_EQ(check(signedAs("rogue")), errSecCSReqFailed);
  const auto otherRoot = anchorFromPemFile(kPki + "/otherroot.pem");
  ASSERT_NE(otherRoot, nullptr);
  EXPECT_EQ(check(signedAs("rogue"), codeSigningRequirement(), otherRoot.get()), errSecSuccess);
  EXPECT_EQ(check(signedAs("team"), codeSigningRequirement(), otherRoot.get()), errSecCSReqFailed);

  // Carrying the team's certificate does not make another team's signature the team's.
  SigningIdentity decoy = pkiIdentity("otherteam");
  decoy.chainPath = kPki + "/team.pem";
  ASSERT_TRUE(signFile(plain_, dir_.file("decoy"), decoy).ok());
  EXPECT_EQ(check(dir_.file("decoy")), errSecCSReqFailed);
  // Without the intermediate the leaf cannot be chained to the root.
  SigningIdentity noChain = pkiIdentity("team");
  noChain.chainPath.clear();
  ASSERT_TRUE(signFile(plain_, dir_.file("nochain"), noChain).ok());
  EXPECT_EQ(check(dir_.file("nochain")), errSecCSReqFailed);
}

TEST_F(CodeSigningTest, UnsignedAndUnopenableFiles) {
  writeAll(dir_.file("empty"), "");
  writeAll(dir_.file("magiconly"), kSignatureMagic);  // shorter than a trailer
  ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  const std::pair<std::string, OSStatus> cases[] = {
      {plain_, errSecCSUnsigned},
      {dir_.file("empty"), errSecCSUnsigned},
      {dir_.file("magiconly"), errSecCSUnsigned},
      {dir_.file("missing"), errSecCSStaticCodeNotFound},
      {dir_.path(), errSecCSStaticCodeNotFound},
      {dir_.file("fifo"), errSecCSStaticCodeNotFound},  // and does not block
  };
  for (const auto& [path, status] : cases) EXPECT_EQ(check(path), status) << path;
}

TEST_F(CodeSigningTest, AlteredOrDamagedSignedFilesFail) {
  const std::string good = ScratchDir::read(signedAs("team"));
  const std::size_t sigStart = content_.size();
  const std::size_t info = good.size() - kTrailerSize;
  const auto cmsLength = static_cast<std::uint32_t>(info - sigStart);
  const std::string signature = good.substr(sigStart);
  const auto flipped = [&](std::size_t at, unsigned char value) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(value);
    return bytes;
  };
  const auto withLength = [&](std::uint32_t length) {
    std::string bytes = good;
    for (int i = 0; i < 4; ++i) bytes[info + 4 + i] = static_cast<char>(length >> (24 - 8 * i));
    return bytes;
  };
  std::string transplanted = content_;
  transplanted[100] ^= 0x55;
  const struct {
    std::string bytes;
    OSStatus status;
    const char* what;
  } cases[] = {
      {flipped(0, good[0] ^ 1), errSecCSSignatureFailed, "first content byte flipped"},
      {flipped(sigStart - 1, good[sigStart - 1] ^ 1), errSecCSSignatureFailed, "last one"},
      {content_ + "extra" + signature, errSecCSSignatureFailed, "content grown"},
      {content_.substr(0, sigStart - 1) + signature, errSecCSSignatureFailed, "content shrunk"},
      {transplanted + signature, errSecCSSignatureFailed, "signature of other content"},
      {good.substr(0, sigStart), errSecCSUnsigned, "signature cut off"},
      {good + "x", errSecCSUnsigned, "byte appended"},
      {flipped(info, 2), errSecCSBadObjectFormat, "unknown version"},
      {flipped(info + 1, 2), errSecCSBadObjectFormat, "unknown digest"},
      {flipped(info + 3, 1), errSecCSBadObjectFormat, "reserved byte set"},
      {withLength(kMaxCmsLength + 1), errSecCSBadObjectFormat, "length above the limit"},
      {withLength(cmsLength + 1), errSecCSBadObjectFormat, "length one too long"},
      {withLength(cmsLength - 1), errSecCSBadObjectFormat, "length one too short"},
      {content_ + std::string(cmsLength, 'A') + good.substr(info), errSecCSBadObjectFormat,
       "garbage instead of CMS"},
      {std::string(kTrailerSize - kSignatureMagic.size(), '\0') + std::string(kSignatureMagic),
       errSecCSBadObjectFormat, "trailer alone"},
      {good.substr(0, info) + "junk" + withLength(cmsLength + 4).substr(info),
       errSecCSBadObjectFormat, "bytes between the CMS and the trailer"},
  };
  for (const auto& c : cases) {
    writeAll(dir_.file("altered"), c.bytes);
    EXPECT_EQ(check(dir_.file("altered")), c.status) << c.what;
  }
  // The ECDSA signature value is near the end of the DER: flipping it breaks the signature
  // over the signed attributes without breaking the encoding.
  writeAll(dir_.file("altered"), flipped(info - 3, good[info - 3] ^ 1));
  const OSStatus status = check(dir_.file("altered"));
  EXPECT_TRUE(status == errSecCSSignatureFailed || status == errSecCSBadObjectFormat) << status;
}

// Unsigned attributes can be added to a CMS without breaking it; an identifier among them must
// not count.
TEST_F(CodeSigningTest, IdentifierOnlyFromSignedAttributes) {
  const std::string good = ScratchDir::read(signedAs("team", "app.tamsel.cli"));
  const std::size_t cmsLength = good.size() - kTrailerSize - content_.size();
  const auto* der = reinterpret_cast<const unsigned char*>(good.data() + content_.size());
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &der, static_cast<long>(cmsLength)));
  ASSERT_NE(cms, nullptr);
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
  ASSERT_EQ(CMS_unsigned_add1_attr_by_OBJ(si, const_cast<ASN1_OBJECT*>(identifierAttributeObject()),
                                          V_ASN1_UTF8STRING, "evil", 4),
            1);
  unsigned char* out = nullptr;
  const int outLength = i2d_CMS_ContentInfo(cms.get(), &out);
  ASSERT_GT(outLength, 0);
  const std::string newCms(reinterpret_cast<char*>(out), static_cast<std::size_t>(outLength));
  OPENSSL_free(out);
  const auto trailer = encodeTrailer(static_cast<std::uint32_t>(outLength));
  writeAll(dir_.file("unsigned-attribute"),
           content_ + newCms + std::string(trailer.begin(), trailer.end()));
  EXPECT_EQ(check(dir_.file("unsigned-attribute"), R"(identifier "evil")"), errSecCSReqFailed);
  EXPECT_EQ(check(dir_.file("unsigned-attribute"), R"(identifier "app.tamsel.cli")"),
            errSecSuccess);
}

TEST_F(CodeSigningTest, CertificateRulesForSigners) {
  const KeyAndCertificate root = loadKeyAndCertificate(kPki + "/root.key", kPki + "/root.pem");
  CertificateRecipe tlsCa;
  tlsCa.subject = {{"CN", "TLS CA"}};
  tlsCa.ca = true;
  tlsCa.extendedKeyUsage = "serverAuth";
  const KeyAndCertificate tls = makeCertificate(tlsCa, &root);
  const KeyAndCertificate teamLeafAsIssuer = makeCertificate(teamLeaf(), &root);
  using Recipe = CertificateRecipe;
  const struct {
    const char* what;
    void (*change)(Recipe&);
    const KeyAndCertificate* issuer;  // carried along with the signature unless it is the root
    OSStatus status;
  } cases[] = {
      {"an expired leaf: code stays valid",
       [](Recipe& r) { r.notBeforeDays = -730, r.notAfterDays = -365; }, &root, errSecSuccess},
      {"no usage limits", [](Recipe& r) { r.extendedKeyUsage.reset(), r.keyUsage.reset(); }, &root,
       errSecSuccess},
      {"server authentication only", [](Recipe& r) { r.extendedKeyUsage = "serverAuth"; }, &root,
       errSecCSReqFailed},
      {"key agreement only", [](Recipe& r) { r.keyUsage = "critical,keyAgreement"; }, &root,
       errSecCSReqFailed},
      {"two OUs", [](Recipe& r) { r.subject.emplace_back("OU", "7QX2LMN4PA"); }, &root,
       errSecCSReqFailed},
      {"issued by a leaf, which is no CA", [](Recipe&) {}, &teamLeafAsIssuer, errSecCSReqFailed},
      {"issued by a CA limited to TLS", [](Recipe&) {}, &tls, errSecCSReqFailed},
      {"self-signed with the team's OU", [](Recipe&) {}, nullptr, errSecCSReqFailed},
  };
  for (const auto& c : cases) {
    Recipe recipe = teamLeaf();
    c.change(recipe);
    const KeyAndCertificate* carried = c.issuer == &root ? nullptr : c.issuer;
    EXPECT_EQ(check(signedBy(makeCertificate(recipe, c.issuer), carried)), c.status) << c.what;
  }
  // The anchor's own key signing code is not a chain.
  EXPECT_EQ(check(signedBy(root, nullptr), "anchor apple generic"), errSecCSReqFailed);
}

TEST_F(CodeSigningTest, SigningRefusesBadInput) {
  std::string damaged = ScratchDir::read(signedAs("team"));
  damaged[damaged.size() - kTrailerSize] = 9;  // version byte
  writeAll(dir_.file("damaged"), damaged);
  const auto with = [](std::string SigningIdentity::*field, std::string value) {
    SigningIdentity id = pkiIdentity("team");
    id.*field = std::move(value);
    return id;
  };
  const std::string out = dir_.file("out");
  const struct {
    std::string input, output;
    SigningIdentity identity;
  } cases[] = {
      {plain_, out, with(&SigningIdentity::privateKeyPath, kPki + "/otherteam.key")},
      {plain_, out, with(&SigningIdentity::privateKeyPath, dir_.file("nokey"))},
      {plain_, out, with(&SigningIdentity::privateKeyPath, kPki + "/team.pem")},
      {dir_.file("missing"), out, pkiIdentity("team")},
      {dir_.path(), out, pkiIdentity("team")},
      {dir_.file("damaged"), out, pkiIdentity("team")},
      {plain_, dir_.file("nodir/out"), pkiIdentity("team")},
  };
  for (const auto& c : cases) EXPECT_FALSE(signFile(c.input, c.output, c.identity).ok()) << c.input;
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
}  // namespace tamsel::codesign
