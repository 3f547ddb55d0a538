#include "platform/codesign/code_signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "platform/codesign/code_signing_tools.h"
#include "platform/codesign/signature_checks.h"
#include "platform/codesign/signature_trailer.h"
#include "platform/codesign/test_certificates.h"
#include "service/code_signing_requirement.h"

namespace tamsel::codesign {
namespace {

namespace fs = std::filesystem;
using testing::CertificateSpec;
using testing::KeyAndCertificate;

const std::string kPki = TAMSEL_TEST_PKI_DIR;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const fs::path& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

SigningIdentity pkiIdentity(const std::string& name, std::optional<std::string> identifier = {}) {
  SigningIdentity id{kPki + "/" + name + ".key", kPki + "/" + name + ".pem", "",
                     std::move(identifier)};
  if (name == "team") id.chainPath = kPki + "/team-chain.pem";
  return id;
}

class CodeSigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/codesign-test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::mt19937 rng(42);
    content_.resize(300 * 1024 + 17);  // spans several read chunks, not a multiple of any
    for (char& c : content_) c = static_cast<char>(rng());
    writeAll(dir_ / "plain", content_);
    root_ = anchorFromPemFile(kPki + "/root.pem");
    ASSERT_NE(root_, nullptr);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path signedAs(const std::string& identity, std::optional<std::string> identifier = {}) {
    fs::path out = dir_ / ("signed-" + identity);
    Status s = signFile((dir_ / "plain").string(), out.string(),
                        pkiIdentity(identity, std::move(identifier)));
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().description);
    return out;
  }

  OSStatus check(const fs::path& path, std::string_view requirement = codeSigningRequirement(),
                 const Anchor* anchor = nullptr) {
    std::shared_ptr<const Requirement> req;
    EXPECT_EQ(requirementCreateWithString(requirement, req), errSecSuccess);
    std::shared_ptr<const StaticCode> code;
    const OSStatus opened = staticCodeCreateWithPath(path.string(), code);
    if (opened != errSecSuccess) return opened;
    return staticCodeCheckValidity(*code, *req, anchor != nullptr ? anchor : root_.get());
  }

  // A file signed by a certificate made here, issued by the test root (or by issuer).
  fs::path signedWithCertificate(const KeyAndCertificate& leaf, const std::string& name,
                                 const KeyAndCertificate* intermediate = nullptr) {
    testing::writeKeyAndCertificate(leaf, (dir_ / name).string());
    SigningIdentity id{
        (dir_ / (name + ".key")).string(), (dir_ / (name + ".pem")).string(), "", {}};
    if (intermediate != nullptr) {
      testing::writeKeyAndCertificate(*intermediate, (dir_ / (name + "-ca")).string());
      id.chainPath = (dir_ / (name + "-ca.pem")).string();
    }
    fs::path out = dir_ / ("signed-" + name);
    EXPECT_TRUE(signFile((dir_ / "plain").string(), out.string(), id).ok());
    return out;
  }

  KeyAndCertificate testRoot() const {
    return testing::loadKeyAndCertificate(kPki + "/root.key", kPki + "/root.pem");
  }

  static CertificateSpec teamLeafSpec() {
    CertificateSpec shape;
    shape.subject = {{"CN", "Made Here"}, {"OU", kSigningTeamIdentifier}};
    return shape;
  }

  fs::path dir_;
  std::string content_;
  std::shared_ptr<const Anchor> root_;
};

TEST_F(CodeSigningTest, SignedFileVerifiesAndKeepsItsContent) {
  const fs::path file = signedAs("team", "app.tamsel.cli");
  EXPECT_EQ(check(file), errSecSuccess);
  EXPECT_EQ(check(file, R"(anchor apple generic and identifier "app.tamsel.cli")"), errSecSuccess);
  EXPECT_EQ(check(file, R"(identifier "app.tamsel.other")"), errSecCSReqFailed);
  EXPECT_EQ(check(file, "anchor apple"), errSecCSReqFailed);  // issued through an intermediate
  const std::string bytes = readAll(file);
  ASSERT_GT(bytes.size(), content_.size() + kTrailerSize);
  EXPECT_EQ(bytes.substr(0, content_.size()), content_);
  EXPECT_TRUE(bytes.ends_with(kSignatureMagic));

  SigningInformation info;
  std::shared_ptr<const StaticCode> code;
  ASSERT_EQ(staticCodeCreateWithPath(file.string(), code), errSecSuccess);
  ASSERT_EQ(copySigningInformation(*code, info), errSecSuccess);
  EXPECT_EQ(info.contentLength, content_.size());
  EXPECT_EQ(info.identifier, "app.tamsel.cli");
  ASSERT_EQ(info.certificates.size(), 2u);  // leaf and intermediate; the root is not carried
  EXPECT_NE(std::find(info.leafSubject.begin(), info.leafSubject.end(),
                      std::pair<std::string, std::string>("OU", "Q4TZ7WMR2K")),
            info.leafSubject.end());
}

TEST_F(CodeSigningTest, ResigningReplacesTheSignatureAndKeepsTheMode) {
  const fs::path file = dir_ / "inplace";
  writeAll(file, content_);
  ASSERT_EQ(::chmod(file.c_str(), 0751), 0);
  ASSERT_TRUE(signFile(file.string(), "", pkiIdentity("otherteam")).ok());
  EXPECT_EQ(check(file), errSecCSReqFailed);
  ASSERT_TRUE(signFile(file.string(), "", pkiIdentity("team", "id")).ok());
  EXPECT_EQ(check(file), errSecSuccess);
  std::shared_ptr<const StaticCode> code;
  ASSERT_EQ(staticCodeCreateWithPath(file.string(), code), errSecSuccess);
  SigningInformation info;
  ASSERT_EQ(copySigningInformation(*code, info), errSecSuccess);
  EXPECT_EQ(info.contentLength, content_.size());  // the old signature is gone, not covered
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  for (const auto& entry : fs::directory_iterator(dir_)) {
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
  const fs::path decoyed = dir_ / "decoy";
  ASSERT_TRUE(signFile((dir_ / "plain").string(), decoyed.string(), decoy).ok());
  EXPECT_EQ(check(decoyed), errSecCSReqFailed);

  // Without the intermediate the leaf cannot be chained to the root.
  SigningIdentity noChain = pkiIdentity("team");
  noChain.chainPath.clear();
  const fs::path file = dir_ / "nochain";
  ASSERT_TRUE(signFile((dir_ / "plain").string(), file.string(), noChain).ok());
  EXPECT_EQ(check(file), errSecCSReqFailed);
  // A missing platform anchor fails every check.
  std::shared_ptr<const Requirement> req;
  ASSERT_EQ(requirementCreateWithString("anchor apple generic", req), errSecSuccess);
  std::shared_ptr<const StaticCode> code;
  ASSERT_EQ(staticCodeCreateWithPath(signedAs("team").string(), code), errSecSuccess);
  EXPECT_EQ(staticCodeCheckValidity(*code, *req, nullptr), errSecCSReqFailed);
}

TEST_F(CodeSigningTest, UnsignedAndUnopenableFiles) {
  EXPECT_EQ(check(dir_ / "plain"), errSecCSUnsigned);
  writeAll(dir_ / "empty", "");
  EXPECT_EQ(check(dir_ / "empty"), errSecCSUnsigned);
  writeAll(dir_ / "magiconly", kSignatureMagic);  // shorter than a trailer
  EXPECT_EQ(check(dir_ / "magiconly"), errSecCSUnsigned);
  EXPECT_EQ(check(dir_ / "missing"), errSecCSStaticCodeNotFound);
  EXPECT_EQ(check(dir_), errSecCSStaticCodeNotFound);
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(check(dir_ / "fifo"), errSecCSStaticCodeNotFound);  // and does not block

  std::shared_ptr<const StaticCode> code;
  UniqueFd fd(::open(signedAs("team").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(staticCodeCreateWithFd(std::move(fd), code), errSecSuccess);
  std::shared_ptr<const Requirement> req;
  ASSERT_EQ(requirementCreateWithString(codeSigningRequirement(), req), errSecSuccess);
  EXPECT_EQ(staticCodeCheckValidity(*code, *req, root_.get()), errSecSuccess);
  EXPECT_EQ(staticCodeCreateWithFd(UniqueFd(), code), errSecCSStaticCodeNotFound);
}

TEST_F(CodeSigningTest, AlteredSignedFilesFail) {
  const std::string good = readAll(signedAs("team"));
  const std::size_t sigStart = content_.size();
  const fs::path file = dir_ / "altered";
  auto expect = [&](const std::string& bytes, OSStatus status, const char* what) {
    writeAll(file, bytes);
    EXPECT_EQ(check(file), status) << what;
  };
  for (std::size_t at : {std::size_t{0}, sigStart / 2, sigStart - 1}) {
    std::string bytes = good;
    bytes[at] ^= 0x01;
    expect(bytes, errSecCSSignatureFailed, "content byte flipped");
  }
  expect(good.substr(0, good.size() - 1), errSecCSUnsigned, "last byte cut");
  expect(good.substr(0, sigStart), errSecCSUnsigned, "signature cut off");
  expect(good + "x", errSecCSUnsigned, "byte appended");
  expect(good + std::string(4096, '\0'), errSecCSUnsigned, "padding appended");

  // Bytes added to the content with the old signature moved behind them.
  const std::string signature = good.substr(sigStart);
  expect(content_ + "extra" + signature, errSecCSSignatureFailed, "content grown");
  expect(content_.substr(0, sigStart - 1) + signature, errSecCSSignatureFailed, "content shrunk");
  // Another file's signature does not fit this content.
  std::string other = content_;
  other[100] ^= 0x55;
  expect(other + signature, errSecCSSignatureFailed, "signature transplanted");

  // The ECDSA signature value is near the end of the DER: flipping it breaks the signature
  // over the signed attributes without breaking the encoding.
  std::string bytes = good;
  bytes[good.size() - kTrailerSize - 3] ^= 0x01;
  writeAll(file, bytes);
  const OSStatus flipped = check(file);
  EXPECT_TRUE(flipped == errSecCSSignatureFailed || flipped == errSecCSBadObjectFormat) << flipped;
}

// Unsigned attributes can be added to a CMS without breaking it; an identifier among them must
// not count.
TEST_F(CodeSigningTest, IdentifierOnlyFromSignedAttributes) {
  const std::string good = readAll(signedAs("team", "app.tamsel.cli"));
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
  const fs::path file = dir_ / "unsigned-attribute";
  writeAll(file, content_ + newCms + std::string(trailer.begin(), trailer.end()));
  EXPECT_EQ(check(file, R"(identifier "evil")"), errSecCSReqFailed);
  EXPECT_EQ(check(file, R"(identifier "app.tamsel.cli")"), errSecSuccess);
}

TEST_F(CodeSigningTest, DamagedTrailersAreBadObjectFormat) {
  const std::string good = readAll(signedAs("team"));
  const std::size_t info = good.size() - kTrailerSize;
  const fs::path file = dir_ / "damaged";
  auto withInfoByte = [&](std::size_t index, unsigned char value) {
    std::string bytes = good;
    bytes[info + index] = static_cast<char>(value);
    return bytes;
  };
  const std::uint32_t cmsLength =
      static_cast<std::uint32_t>(good.size() - kTrailerSize - content_.size());
  auto withLength = [&](std::uint32_t length) {
    std::string bytes = good;
    for (int i = 0; i < 4; ++i) bytes[info + 4 + i] = static_cast<char>(length >> (24 - 8 * i));
    return bytes;
  };
  for (const auto& [bytes, what] : std::vector<std::pair<std::string, const char*>>{
           {withInfoByte(0, 2), "unknown version"},
           {withInfoByte(1, 2), "unknown digest"},
           {withInfoByte(3, 1), "reserved byte set"},
           {withLength(0), "zero length"},
           {withLength(kMaxCmsLength + 1), "length above the limit"},
           {withLength(static_cast<std::uint32_t>(good.size())), "length beyond the file"},
           {withLength(cmsLength + 1), "length one too long"},
           {withLength(cmsLength - 1), "length one too short"},
           {content_ + std::string(cmsLength, 'A') + good.substr(info), "garbage instead of CMS"},
           {std::string(kTrailerSize - kSignatureMagic.size(), '\0') + std::string(kSignatureMagic),
            "trailer alone"},
           {good.substr(0, info) + "junk" + withLength(cmsLength + 4).substr(info),
            "unsigned bytes between the CMS and the trailer"},
       }) {
    writeAll(file, bytes);
    EXPECT_EQ(check(file), errSecCSBadObjectFormat) << what;
  }
}

TEST_F(CodeSigningTest, CertificateRulesForSigners) {
  const KeyAndCertificate root = testRoot();

  CertificateSpec expired = teamLeafSpec();
  expired.notBeforeDays = -730;
  expired.notAfterDays = -365;
  EXPECT_EQ(check(signedWithCertificate(testing::makeCertificate(expired, &root), "expired")),
            errSecSuccess)
      << "code stays valid after its leaf expires";

  CertificateSpec serverOnly = teamLeafSpec();
  serverOnly.extendedKeyUsage = "serverAuth";
  EXPECT_EQ(check(signedWithCertificate(testing::makeCertificate(serverOnly, &root), "server")),
            errSecCSReqFailed);

  CertificateSpec noUsageLimits = teamLeafSpec();
  noUsageLimits.extendedKeyUsage.reset();
  noUsageLimits.keyUsage.reset();
  EXPECT_EQ(
      check(signedWithCertificate(testing::makeCertificate(noUsageLimits, &root), "plainleaf")),
      errSecSuccess);

  CertificateSpec keyAgreementOnly = teamLeafSpec();
  keyAgreementOnly.keyUsage = "critical,keyAgreement";
  EXPECT_EQ(check(signedWithCertificate(testing::makeCertificate(keyAgreementOnly, &root), "ka")),
            errSecCSReqFailed);

  CertificateSpec twoUnits = teamLeafSpec();
  twoUnits.subject.emplace_back("OU", "7QX2LMN4PA");
  EXPECT_EQ(check(signedWithCertificate(testing::makeCertificate(twoUnits, &root), "twoou")),
            errSecCSReqFailed);

  // A leaf of the right team cannot issue another leaf: it is no CA.
  CertificateSpec issuerSpec = teamLeafSpec();
  const KeyAndCertificate notACa = testing::makeCertificate(issuerSpec, &root);
  const KeyAndCertificate below = testing::makeCertificate(teamLeafSpec(), &notACa);
  EXPECT_EQ(check(signedWithCertificate(below, "belowleaf", &notACa)), errSecCSReqFailed);

  // A CA that restricts itself to TLS cannot pass code signing on.
  CertificateSpec tlsCa;
  tlsCa.subject = {{"CN", "TLS CA"}};
  tlsCa.ca = true;
  tlsCa.extendedKeyUsage = "serverAuth";
  const KeyAndCertificate tls = testing::makeCertificate(tlsCa, &root);
  EXPECT_EQ(
      check(signedWithCertificate(testing::makeCertificate(teamLeafSpec(), &tls), "tlsca", &tls)),
      errSecCSReqFailed);

  // The anchor's own key signing code is not a chain.
  testing::writeKeyAndCertificate(root, (dir_ / "rootsigner").string());
  const fs::path bySelf = dir_ / "signed-by-root";
  ASSERT_TRUE(
      signFile((dir_ / "plain").string(), bySelf.string(),
               SigningIdentity{
                   (dir_ / "rootsigner.key").string(), (dir_ / "rootsigner.pem").string(), "", {}})
          .ok());
  EXPECT_EQ(check(bySelf, "anchor apple generic"), errSecCSReqFailed);

  // A self-signed certificate with the team's OU, carried in the signature, is no anchor.
  const KeyAndCertificate selfMade = testing::makeCertificate(teamLeafSpec(), nullptr);
  EXPECT_EQ(check(signedWithCertificate(selfMade, "selfsigned")), errSecCSReqFailed);
}

TEST_F(CodeSigningTest, SigningRefusesBadInput) {
  const std::string plain = (dir_ / "plain").string();
  const std::string out = (dir_ / "out").string();
  SigningIdentity mismatched = pkiIdentity("team");
  mismatched.privateKeyPath = kPki + "/otherteam.key";
  EXPECT_FALSE(signFile(plain, out, mismatched).ok());
  SigningIdentity missingKey = pkiIdentity("team");
  missingKey.privateKeyPath = (dir_ / "nokey").string();
  EXPECT_FALSE(signFile(plain, out, missingKey).ok());
  SigningIdentity certAsKey = pkiIdentity("team");
  certAsKey.privateKeyPath = kPki + "/team.pem";
  EXPECT_FALSE(signFile(plain, out, certAsKey).ok());
  EXPECT_FALSE(signFile((dir_ / "missing").string(), out, pkiIdentity("team")).ok());
  EXPECT_FALSE(signFile(dir_.string(), out, pkiIdentity("team")).ok());

  std::string damaged = readAll(signedAs("team"));
  damaged[damaged.size() - kTrailerSize] = 9;  // version byte
  writeAll(dir_ / "damaged", damaged);
  EXPECT_FALSE(signFile((dir_ / "damaged").string(), out, pkiIdentity("team")).ok());
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(signFile(plain, (dir_ / "nodir" / "out").string(), pkiIdentity("team")).ok());
}

TEST_F(CodeSigningTest, ConcurrentChecksOfSharedObjects) {
  std::shared_ptr<const Requirement> req;
  ASSERT_EQ(requirementCreateWithString(codeSigningRequirement(), req), errSecSuccess);
  std::shared_ptr<const StaticCode> good, other;
  ASSERT_EQ(staticCodeCreateWithPath(signedAs("team").string(), good), errSecSuccess);
  ASSERT_EQ(staticCodeCreateWithPath(signedAs("otherteam").string(), other), errSecSuccess);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        if (staticCodeCheckValidity(*good, *req, root_.get()) != errSecSuccess) ++wrong;
        if (staticCodeCheckValidity(*other, *req, root_.get()) != errSecCSReqFailed) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace tamsel::codesign
