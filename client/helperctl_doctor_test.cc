// tamsel-helperctl status and doctor: the command line, each check's verdict from its facts, and
// the machine facts the checks are built on.
#include <netinet/in.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/helperctl_doctor.h"
#include "platform/testing/scratch_dir.h"
#include "platform/testing/test_certificates.h"
#include "platform/unique_fd.h"
#include "resolver/resolver_files.h"

namespace tamsel::client::helperctl {
namespace {

TEST(HelperctlChecks, PortVerdicts) {
  const std::uint32_t me = 501;
  struct Case {
    std::vector<TcpListener> listeners;
    Verdict verdict;
    std::string_view says;
  };
  const std::vector<Case> cases = {
      {{}, Verdict::kOk, "free"},
      {{{"0.0.0.0", 0, {{42, me, "tamsel"}}}}, Verdict::kOk, "0.0.0.0 by tamsel (pid 42, uid 501)"},
      {{{"::", 0, {{7, 0, "nginx"}}}}, Verdict::kProblem, "another program: :: by nginx"},
      {{{"0.0.0.0", 33, {}}}, Verdict::kProblem, "not visible to uid 501 (socket owner uid 33)"},
      {{{"0.0.0.0", 0, {{42, me, "tamsel"}}}, {"::", 0, {}}}, Verdict::kProblem, "not visible"},
  };
  for (const Case& c : cases) {
    const Finding f = portFinding(80, c.listeners, me);
    EXPECT_EQ(f.verdict, c.verdict) << f.detail;
    EXPECT_NE(f.detail.find(c.says), std::string::npos) << f.detail;
  }
  EXPECT_EQ(portFinding(443, Error{EACCES, "denied"}, me).verdict, Verdict::kProblem);
}

TEST(HelperctlChecks, ResolverFileIsTheHelpersOnlyWithItsOwnCommentForItsLabel) {
  const std::string mine = resolverFileContent("test", "127.0.0.1", 53);
  struct Case {
    std::string name;
    Result<std::string> content;
    Verdict verdict;
  };
  const std::vector<Case> cases = {
      {"test", mine, Verdict::kOk},
      {"other", mine, Verdict::kInfo},  // the comment names another label
      {"test", std::string("nameserver 1.1.1.1\n"), Verdict::kInfo},
      {"test", "#" + mine, Verdict::kInfo},
      {"test", Error{EACCES, "cannot open /etc/resolver/test"}, Verdict::kProblem},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolverFinding(c.name, c.content).verdict, c.verdict) << c.name;
  }
  EXPECT_EQ(resolverFinding("test", mine).detail, "the helper's (nameserver 127.0.0.1,port 53)");
}

TEST(HelperctlChecks, CommandLineToolAndLinkVerdicts) {
  const FileFacts file{FileFacts::Kind::kFile}, missing{FileFacts::Kind::kMissing},
      dir{FileFacts::Kind::kDirectory};
  EXPECT_EQ(cliFinding(file, file, true).verdict, Verdict::kOk);
  EXPECT_EQ(cliFinding(file, file, false).verdict, Verdict::kProblem);
  EXPECT_EQ(cliFinding(file, missing, false).verdict, Verdict::kInfo);
  EXPECT_EQ(cliFinding(missing, file, false).verdict, Verdict::kProblem);
  EXPECT_EQ(cliFinding(file, dir, false).verdict, Verdict::kProblem);

  using K = LinkLookup::Kind;
  EXPECT_EQ(cliLinkFinding(file, {K::kLink, kInstalledCLI}).verdict, Verdict::kOk);
  EXPECT_EQ(cliLinkFinding(file, {K::kLink, "../Tamsel/bin/tamsel"}).verdict, Verdict::kProblem);
  EXPECT_EQ(cliLinkFinding(file, {K::kOther, ""}).verdict, Verdict::kProblem);
  EXPECT_EQ(cliLinkFinding(file, {K::kMissing, ""}).verdict, Verdict::kProblem);
  EXPECT_EQ(cliLinkFinding(missing, {K::kMissing, ""}).verdict, Verdict::kInfo);
}

TEST(HelperctlChecks, CodeSigningRootVerdicts) {
  FileFacts good{FileFacts::Kind::kFile, 600, 0, 0644, true};
  EXPECT_EQ(anchorFinding(good, true, 0).verdict, Verdict::kOk);
  EXPECT_EQ(anchorFinding(good, false, 0).verdict, Verdict::kProblem);
  EXPECT_NE(anchorFinding(good, true, -67050).detail.find("errSecCSReqFailed"), std::string::npos);
  FileFacts writable = good, foreign = good, unreadable = good;
  writable.mode = 0666;
  foreign.ownerUid = 501;
  unreadable.readable = false;
  for (const FileFacts& f : {writable, foreign, unreadable, FileFacts{FileFacts::Kind::kMissing}}) {
    EXPECT_EQ(anchorFinding(f, true, 0).verdict, Verdict::kProblem);
  }
}

TEST(HelperctlChecks, RootCAIsFoundInTheKeychainByItsFingerprint) {
  const std::string pki = TAMSEL_TEST_PKI_DIR, pem = ScratchDir::read(pki + "/root.pem");
  const auto ca = codesign::loadKeyAndCertificate(pki + "/root.key", pki + "/root.pem");
  unsigned char* der = nullptr;
  const int derLen = i2d_X509(ca.certificate.get(), &der);
  const std::string derBytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(derLen));
  OPENSSL_free(der);

  const auto fromPem = certificateFingerprints(pem);
  ASSERT_EQ(fromPem.size(), 1u);
  EXPECT_EQ(certificateFingerprints(derBytes), fromPem);
  const auto keychain = certificateFingerprints(ScratchDir::read(pki + "/otherroot.pem") + pem);
  ASSERT_EQ(keychain.size(), 2u);
  EXPECT_TRUE(certificateFingerprints("not a certificate").empty());

  RootCAFacts f{"/home/a/caddy/root-ca.crt",
                FileFacts{FileFacts::Kind::kFile},
                fromPem[0],
                true,
                keychain,
                ""};
  EXPECT_EQ(rootCAFinding(f).verdict, Verdict::kOk);
  f.keychain = std::vector<std::string>(1, keychain[0]);
  EXPECT_EQ(rootCAFinding(f).verdict, Verdict::kProblem);
  f.toolInstalled = false;
  EXPECT_EQ(rootCAFinding(f).verdict, Verdict::kInfo);
  f.file.kind = FileFacts::Kind::kMissing;
  EXPECT_EQ(rootCAFinding(f).verdict, Verdict::kInfo);
}

TEST(HelperctlChecks, ListenersOnAPortNameTheirHolder) {
  UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(fd.get(), 1), 0);
  ASSERT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);

  auto found = tcpListenersOnPort(ntohs(addr.sin6_port));
  ASSERT_TRUE(found.ok()) << found.error().description;
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ(found->front().address, "::1");
  ASSERT_EQ(found->front().holders.size(), 1u);
  EXPECT_EQ(found->front().holders[0].pid, ::getpid());
  EXPECT_EQ(found->front().holders[0].uid, ::getuid());
  fd.reset();
  EXPECT_TRUE(tcpListenersOnPort(ntohs(addr.sin6_port))->empty());
}

}  // namespace
}  // namespace tamsel::client::helperctl
