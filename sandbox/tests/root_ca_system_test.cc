// The root-CA operations against the real daemon and the real keychain tool, asked through the
// client library by alice (and bob). What changed is read from the System keychain with the tool
// itself and from the log store; the tool's failures are real ones: a keychain on a read-only
// mount, and no tool at all.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "catrust/certificate_model.h"
#include "client/helper_client.h"
#include "platform/identity.h"
#include "platform/testing/test_certificates.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;
using client::HelperClient;

const std::string kSecurity = "/usr/bin/security";
const std::string kKeychainDir = "/Library/Keychains";
const std::string kKeychain = kKeychainDir + "/System.keychain";
const std::string kCertDir = "/tmp/root-ca-system-test";
const std::string kAliceHome(kAlice.home);
const std::string kCAFile = kAliceHome + "/caddy/root-ca.crt";
const std::string kRule = ": not Tamsel's own root-CA path";
const std::string kAddFailed = "NO 0 Failed to add root CA to the System keychain: ";
const std::string kTrustNoOp =
    "error: removeTrustedCACertificate: clearing the trust setting was a no-op or failed "
    "(continuing to purge the cert): ";

// Made once, each also as kCertDir/NAME.pem: "current" is what alice's file holds; "old1" and
// "old2" are earlier self-signed roots of the same name; "issued" has the name but is issued by
// "other", a root of another name.
const std::map<std::string, std::string>& derOfTestCerts() {
  static const std::map<std::string, std::string> made = [] {
    namespace cs = codesign;
    fs::create_directories(kCertDir);
    cs::CertificateRecipe recipe{
        {{"CN", "Other Root"}}, true, "critical,keyCertSign", std::nullopt};
    std::vector<std::pair<std::string, cs::KeyAndCertificate>> pairs;
    pairs.emplace_back("other", cs::makeCertificate(recipe, nullptr));
    recipe.subject = {{"CN", "Tamsel Local CA"}, {"O", "Tamsel Dev"}};
    for (const char* name : {"current", "old1", "old2"}) {
      pairs.emplace_back(name, cs::makeCertificate(recipe, nullptr));
    }
    pairs.emplace_back("issued", cs::makeCertificate(recipe, &pairs.front().second));
    std::map<std::string, std::string> out;
    for (const auto& [name, pair] : pairs) {
      cs::writeKeyAndCertificate(pair, kCertDir + "/" + name);
      unsigned char* der = nullptr;
      const int size = i2d_X509(pair.certificate.get(), &der);
      out[name] = std::string(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
      OPENSSL_free(der);
    }
    return out;
  }();
  return made;
}
std::string pemOf(const std::string& name) {
  derOfTestCerts();
  return ScratchDir::read(kCertDir + "/" + name + ".pem");
}

// Writes path (and its directories) as root, then gives them to alice.
void writeAlicesFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  for (fs::path p = path; p.string().size() > kAliceHome.size(); p = p.parent_path()) {
    ASSERT_EQ(::lchown(p.c_str(), kAlice.uid, kAlice.gid), 0) << p;
  }
}

void seedKeychain(const std::vector<std::string>& names) {
  fs::remove(kKeychain);
  for (const std::string& name : names) {
    const ProgramResult r = runProgram(
        {kSecurity, "add-certificates", "-k", kKeychain, kCertDir + "/" + name + ".pem"});
    ASSERT_EQ(r.status, 0) << r.describe();
  }
}

// The names of the certificates the keychain lists, in its order.
std::string keychainNames() {
  const ProgramResult r = runProgram({kSecurity, "find-certificate", "-a", "-p", kKeychain});
  if (r.status != 0) return "listing failed: " + r.describe();
  std::string names;
  for (const std::string& der : CASystemKeychainReconciler::certificatesFromPEM(r.out)) {
    std::string name = "?";
    for (const auto& [known, knownDer] : derOfTestCerts()) name = knownDer == der ? known : name;
    names += (names.empty() ? "" : " ") + name;
  }
  return names;
}

enum class Op { kReconcile, kRemove };

// "YES" for (YES, null, 0), else "NO <code> <message>".
std::string call(HelperClient& helper, Op op, const std::string& path) {
  const Result<StatusReply> r = op == Op::kReconcile ? helper.reconcileSystemCACertificate(path)
                                                     : helper.removeTrustedCACertificate(path);
  if (!r) return "call failed: " + r.error().description;
  const std::string tail = std::to_string(r->code) + " " + r->message.value_or("null");
  return r->ok ? (tail == "0 null" ? "YES" : "YES " + tail) : "NO " + tail;
}

// The replies to calls made in order on one connection as user, one line each.
std::string callsAs(const TestUser& user, const std::vector<std::pair<Op, std::string>>& calls) {
  return reportAsUser(user, [&] {
    Result<HelperClient> helper = HelperClient::connect();
    if (!helper) return "not admitted: " + helper.error().description;
    std::string out;
    for (const auto& [op, path] : calls) out += call(*helper, op, path) + "\n";
    return out;
  });
}

// Undoes a mount a test made (lazily: a tool still running cannot keep it).
struct Unmount {
  std::string dir;
  ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
};

class RootCASystemTest : public testing::Test {
 protected:
  void SetUp() override {
    clearAlicesHome();
    writeAlicesFile(kCAFile, pemOf("current"));
    seedKeychain({});
  }
  void TearDown() override {
    clearAlicesHome();
    seedKeychain({});
  }
  static void clearAlicesHome() {
    for (const auto& entry : fs::directory_iterator(kAliceHome)) fs::remove_all(entry.path());
  }

  // The daemon's lines since mark, "info: ..." or "error: ..." each, or only the error lines.
  std::string loggedSince(std::int64_t mark, bool errorsOnly = true) const {
    std::string text;
    for (const StoredEntry& e : store_.entriesAfter(mark)) {
      if (errorsOnly && e.level != 4) continue;
      text += (e.level == 4 ? "error: " : e.level == 2 ? "info: " : "? ") + e.message + "\n";
    }
    return text;
  }

  LogStoreReader store_;
};

TEST_F(RootCASystemTest, TheKeychainEndsInLineWithTheFileOrPurged) {
  const struct {
    Op op;
    std::vector<std::string> keychain;
    std::string after;
    std::string logged;
  } cases[] = {
      // Stale roots of the name go; the file's stays, and so do roots of other names or issuers.
      {Op::kReconcile,
       {"old1", "current", "other", "old2", "issued"},
       "current other issued",
       "reconcileSystemCACertificate"},
      // Removal without the file: every root of the name goes.
      {Op::kRemove, {"current", "old1", "other", "issued"}, "other", "removeTrustedCACertificate"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    seedKeychain(c.keychain);
    if (c.op == Op::kRemove) fs::remove(kCAFile);
    const std::int64_t mark = store_.mark();
    EXPECT_EQ(callsAs(kAlice, {{c.op, kCAFile}}), "YES\n");
    EXPECT_EQ(keychainNames(), c.after);
    EXPECT_EQ(loggedSince(mark, false), "info: " + c.logged + ": path=" + kCAFile + "\n");
  }
}

// Paths outside the rule, and things alice leaves at a well-named path that root must not read:
// each request is answered at once with its refusal, nothing of a target reaches a reply or a
// log line, and a tool given the path follows no link in the home.
TEST_F(RootCASystemTest, PathsOutsideTheRuleAndHostileFilesAreRefusedUnread) {
  if (!fs::exists("/etc/shadow")) std::ofstream("/etc/shadow") << "root:SECRET-HASH:19000::::::\n";
  const std::string shadowStart = ScratchDir::read("/etc/shadow").substr(0, 12);
  const auto at = [](const std::string& dir) {
    return kAliceHome + "/" + dir + "/caddy/root-ca.crt";
  };
  ASSERT_EQ(
      reportAsUser(kAlice,
                   [&] {
                     for (const char* dir : {"fifo", "shadow", "inlink", "dir/caddy/root-ca.crt"}) {
                       fs::create_directories(kAliceHome + "/" + dir + "/caddy");
                     }
                     fs::create_symlink("/etc/shadow", at("shadow"));
                     fs::create_symlink("../../caddy/root-ca.crt", at("inlink"));
                     return std::string(::mkfifo(at("fifo").c_str(), 0644) ? "mkfifo" : "");
                   }),
      "");
  seedKeychain({"other"});

  const std::string refused = "refused";  // by both operations, as not the rule's
  const std::string unreadable = "NO 0 Couldn't read a valid certificate from ";
  const std::string looping = "Too many levels of symbolic links";
  const struct {
    std::string sent;
    std::string reconcile;  // the removal then succeeds, logging why the tool could not run
    std::string toolReason;
  } cases[] = {
      {kAliceHome + "/caddy/Root-CA.crt", refused, ""},
      {kAliceHome + "/Caddy/root-ca.crt", refused, ""},
      {at("shadow"), refused, ""},
      {kAliceHome + "/gone/./caddy//root-ca.crt",
       "NO 0 Refusing to reconcile certificate at " + kAliceHome + "/gone/./caddy//root-ca.crt" +
           kRule,
       ""},
      {at("dir") + "/", "NO 0 Refusing to reconcile certificate at " + at("dir") + "/" + kRule,
       at("dir") + ": Is a directory"},
      {at("fifo"), unreadable + at("fifo"), at("fifo") + ": not a regular file"},
      // Read beneath the home, but the confined tool cannot follow the link.
      {at("inlink"),
       kAddFailed + "security add-certificates failed (exit 1): security: " + at("inlink") + ": " +
           looping + "\n",
       at("inlink") + ": " + looping},
  };
  std::vector<std::pair<Op, std::string>> calls;
  std::string expected, errors;
  for (const auto& c : cases) {
    calls.emplace_back(Op::kReconcile, c.sent);
    calls.emplace_back(Op::kRemove, c.sent);
    if (c.reconcile == refused) {
      expected += "NO 0 Refusing to reconcile certificate at " + c.sent + kRule +
                  "\nNO 0 Refusing to untrust certificate at " + c.sent + kRule + "\n";
      continue;
    }
    expected += c.reconcile + "\nYES\n";
    if (!c.toolReason.empty()) {
      errors += kTrustNoOp +
                "security remove-trusted-cert failed (exit 1): security: " + c.toolReason + "\n\n";
    }
  }
  const std::int64_t mark = store_.mark();
  const auto start = std::chrono::steady_clock::now();
  const std::string replies = callsAs(kAlice, calls);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(replies, expected);
  // bob may not name alice's file.
  EXPECT_EQ(callsAs(kBob, {{Op::kReconcile, kCAFile}, {Op::kRemove, kCAFile}}),
            "NO 0 Refusing to reconcile certificate at " + kCAFile + kRule +
                "\nNO 0 Refusing to untrust certificate at " + kCAFile + kRule + "\n");
  EXPECT_EQ(loggedSince(mark), errors);
  const std::string all = loggedSince(mark, false) + replies;
  EXPECT_EQ(all.find(shadowStart), std::string::npos);
  EXPECT_EQ(keychainNames(), "other");
}

TEST_F(RootCASystemTest, ToolFailuresAreRepliedOrLoggedWithTheirText) {
  // A keychain on a read-only mount: every deletion fails and is logged with its SHA-1 (upper
  // case); both operations still succeed.
  seedKeychain({"current", "old1", "issued", "old2"});
  {
    ASSERT_EQ(::mount(kKeychainDir.c_str(), kKeychainDir.c_str(), nullptr, MS_BIND, nullptr), 0);
    Unmount undo{kKeychainDir};
    ASSERT_EQ(
        ::mount(nullptr, kKeychainDir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
        0)
        << std::strerror(errno);
    const std::int64_t mark = store_.mark();
    EXPECT_EQ(callsAs(kAlice, {{Op::kReconcile, kCAFile}}), "YES\n");
    fs::remove(kCAFile);
    EXPECT_EQ(callsAs(kAlice, {{Op::kRemove, kCAFile}}), "YES\n");
    const std::string readOnly =
        ": security delete-certificate failed (exit 1): security: cannot write keychain " +
        kKeychain + ": attempt to write a readonly database\n\n";
    std::string expected;
    for (const char* stale : {"old1", "old2"}) {
      expected += "error: reconcile: failed to delete stale root " +
                  CASystemKeychainReconciler::sha1Fingerprint(derOfTestCerts().at(stale)) +
                  readOnly;
    }
    for (const char* name : {"current", "old1", "issued", "old2"}) {
      expected += "error: removeTrustedCACertificate: failed to delete " +
                  CASystemKeychainReconciler::sha1Fingerprint(derOfTestCerts().at(name)) + readOnly;
    }
    EXPECT_EQ(loggedSince(mark), expected);
  }
  EXPECT_EQ(keychainNames(), "current old1 issued old2");

  // No tool at all: the listing fails (logged), so the addition is tried and its launch failure,
  // with its errno, is the reply; the removal logs both of its failures and succeeds.
  writeAlicesFile(kCAFile, pemOf("current"));
  const std::string bin = fs::path(kSecurity).parent_path();
  ASSERT_EQ(::mount("tmpfs", bin.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
  Unmount undo{bin};
  const std::int64_t mark = store_.mark();
  const std::string cannotRun =
      kSecurity + ": could not launch " + kSecurity + ": " + std::strerror(ENOENT);
  EXPECT_EQ(callsAs(kAlice, {{Op::kReconcile, kCAFile}, {Op::kRemove, kCAFile}}),
            "NO " + std::to_string(ENOENT) +
                " Failed to add root CA to the System keychain: Failed to run " + cannotRun +
                "\nYES\n");
  const std::string listing = "error: systemKeychainCertsPEM: failed to run " + cannotRun + "\n";
  EXPECT_EQ(loggedSince(mark),
            listing + kTrustNoOp + "Failed to run " + cannotRun + "\n" + listing);
}

}  // namespace
}  // namespace tamsel::systemtest
