// The root-CA operations against the real daemon and the real keychain tool, asked through the
// client library by alice (and bob). What changed is read from the System keychain with the tool
// itself and from the log store; the tool's failures are real ones: a corrupt keychain, one on a
// read-only mount, no tool at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "catrust/certificate_model.h"
#include "client/helper_client.h"
#include "platform/codesign/test_certificates.h"
#include "platform/identity.h"
#include "sandbox/tests/support/log_store_reader.h"
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
const std::string kAddFailed = "NO 0 Failed to add root CA to the System keychain: ";
const std::string kTrustNoOp =
    "error: removeTrustedCACertificate: clearing the trust setting was a no-op or failed "
    "(continuing to purge the cert): ";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The test certificates, made once, each as NAME.pem in kCertDir: "current" is what alice's file
// holds; "old1" and "old2" are earlier self-signed roots of the same name; "issued" has the name
// but is issued by "other", a root of another name.
struct TestCert {
  std::string name, der;
};
const std::vector<TestCert>& testCerts() {
  static const std::vector<TestCert> made = [] {
    namespace cs = codesign::testing;
    fs::create_directories(kCertDir);
    cs::CertificateSpec spec{{{"CN", "Other Root"}}, true, "critical,keyCertSign", std::nullopt};
    std::vector<std::pair<std::string, cs::KeyAndCertificate>> pairs;
    pairs.emplace_back("other", cs::makeCertificate(spec, nullptr));
    spec.subject = {{"CN", "Tamsel Local CA"}, {"O", "Tamsel Dev"}};
    for (const char* name : {"current", "old1", "old2"}) {
      pairs.emplace_back(name, cs::makeCertificate(spec, nullptr));
    }
    pairs.emplace_back("issued", cs::makeCertificate(spec, &pairs.front().second));
    std::vector<TestCert> out;
    for (const auto& [name, pair] : pairs) {
      cs::writeKeyAndCertificate(pair, kCertDir + "/" + name);
      unsigned char* der = nullptr;
      const int size = i2d_X509(pair.certificate.get(), &der);
      out.push_back({name, std::string(reinterpret_cast<char*>(der), static_cast<size_t>(size))});
      OPENSSL_free(der);
    }
    return out;
  }();
  return made;
}
std::string pemOf(const std::string& name) {
  testCerts();
  return readFile(kCertDir + "/" + name + ".pem");
}
std::string derOf(const std::string& name) {
  for (const TestCert& c : testCerts()) {
    if (c.name == name) return c.der;
  }
  return {};
}
std::string sha1Of(const std::string& name) {
  return CASystemKeychainReconciler::sha1Fingerprint(derOf(name));
}

// Writes path (and its directories) as root, then gives them to alice.
void writeAlicesFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  for (fs::path p = path; p.string().size() > kAliceHome.size(); p = p.parent_path()) {
    ASSERT_EQ(::lchown(p.c_str(), kAlice.uid, kAlice.gid), 0) << p;
  }
}

void resetKeychain() {
  fs::remove(kKeychain);
  fs::remove(kKeychain + "-journal");
}

void seedKeychain(const std::vector<std::string>& names) {
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
    for (const TestCert& c : testCerts()) name = c.der == der ? c.name : name;
    names += (names.empty() ? "" : " ") + name;
  }
  return names;
}

enum class Op { kReconcile, kRemove };

// "YES" for (YES, null, 0), else "NO <code> <message>"; "no reply within 10 s" for a hang.
std::string call(HelperClient& helper, Op op, const std::string& path) {
  auto answered = std::make_shared<std::promise<std::string>>();
  auto callback = [answered](Result<StatusReply> r) {
    if (!r) return answered->set_value("call failed: " + r.error().description);
    const std::string tail = std::to_string(r->code) + " " + r->message.value_or("null");
    answered->set_value(r->ok ? (tail == "0 null" ? "YES" : "YES " + tail) : "NO " + tail);
  };
  if (op == Op::kReconcile) {
    helper.reconcileSystemCACertificate(path, callback);
  } else {
    helper.removeTrustedCACertificate(path, callback);
  }
  std::future<std::string> reply = answered->get_future();
  if (reply.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    return "no reply within 10 s";
  }
  return reply.get();
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

// Undoes a mount made by a test (lazily: a tool still running cannot keep it).
struct Unmount {
  std::string dir;
  ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
};

class RootCASystemTest : public testing::Test {
 protected:
  void SetUp() override {
    resetKeychain();
    clearAlicesHome();
    writeAlicesFile(kCAFile, pemOf("current"));
  }
  void TearDown() override {
    resetKeychain();
    clearAlicesHome();
  }
  static void clearAlicesHome() {
    for (const auto& entry : fs::directory_iterator(kAliceHome)) fs::remove_all(entry.path());
  }

  // What the daemon logged since mark, as "info: ..." and "error: ..." lines.
  std::vector<std::string> logSince(std::int64_t mark) const {
    std::vector<std::string> lines;
    for (const StoredEntry& e : store_.entriesAfter(mark)) {
      if (e.subsystem == kHelperIdentifier) {
        lines.push_back((e.level == 4 ? "error: " : e.level == 2 ? "info: " : "? ") + e.message);
      }
    }
    return lines;
  }
  // Only the error lines, each followed by a line break.
  std::string errorsSince(std::int64_t mark) const {
    std::string errors;
    for (const std::string& line : logSince(mark)) {
      if (line.rfind("error: ", 0) == 0) errors += line + "\n";
    }
    return errors;
  }

  LogStoreReader store_{std::string(kLogStorePath)};
};

TEST_F(RootCASystemTest, TheKeychainEndsInLineWithTheFileOrPurged) {
  std::string crlf = "  ";
  for (const char c : pemOf("current")) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const struct {
    const char* what;
    Op op;
    std::vector<std::string> keychain;
    std::optional<std::string> file;  // absent: no file
    std::string reply;
    std::string after;
    std::string errors;
  } cases[] = {
      {"already current: only the listing runs",
       Op::kReconcile,
       {"current"},
       pemOf("current"),
       "YES",
       "current",
       ""},
      {"two stale roots",
       Op::kReconcile,
       {"old1", "current", "other", "old2", "issued"},
       pemOf("current"),
       "YES",
       "current other issued",
       ""},
      {"a stale root, then the addition (a DER file)",
       Op::kReconcile,
       {"old1", "other"},
       derOf("current"),
       "YES",
       "other current",
       ""},
      {"no keychain yet (PEM with CR LF and blanks)",
       Op::kReconcile,
       {},
       crlf,
       "YES",
       "current",
       ""},
      {"the file's certificate is not self-signed: added every time",
       Op::kReconcile,
       {"issued"},
       pemOf("issued"),
       kAddFailed + "security add-certificates failed (exit 1): security: " + kCAFile +
           ": the certificate is already in " + kKeychain + "\n",
       "issued",
       ""},
      {"removal without the file: every one of the name goes",
       Op::kRemove,
       {"current", "old1", "other", "issued"},
       std::nullopt,
       "YES",
       "other",
       ""},
      {"removal of a certificate without a trust setting",
       Op::kRemove,
       {"current"},
       pemOf("current"),
       "YES",
       "",
       kTrustNoOp + "security remove-trusted-cert failed (exit 1): security: " + kCAFile +
           ": the certificate has no trust setting in " + kKeychain + "\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    resetKeychain();
    seedKeychain(c.keychain);
    fs::remove(kCAFile);
    if (c.file) writeAlicesFile(kCAFile, *c.file);
    const std::int64_t mark = store_.mark();
    EXPECT_EQ(callsAs(kAlice, {{c.op, kCAFile}}), c.reply + "\n");
    EXPECT_EQ(keychainNames(), c.after);
    EXPECT_EQ(logSince(mark).front(),
              (c.op == Op::kReconcile ? "info: reconcileSystemCACertificate: path="
                                      : "info: removeTrustedCACertificate: path=") +
                  kCAFile);
    EXPECT_EQ(errorsSince(mark), c.errors);
  }
}

// Paths outside the rule, and things alice leaves at a well-named path that root must not read:
// each request is answered at once with its refusal, nothing of a target reaches a reply or a
// log line, and a tool given the path follows no link in the home.
TEST_F(RootCASystemTest, PathsOutsideTheRuleAndHostileFilesAreRefusedUnread) {
  const std::string secret = "root:SECRET-HASH-FROM-SHADOW:19000:0:99999:7:::\n";
  if (!fs::exists("/etc/shadow")) std::ofstream("/etc/shadow") << secret;
  const std::string shadowStart = readFile("/etc/shadow").substr(0, 12);
  fs::create_directories(std::string(kBob.home) + "/caddy");
  std::ofstream(std::string(kBob.home) + "/caddy/root-ca.crt") << pemOf("current");
  const auto at = [](const std::string& dir) {
    return kAliceHome + "/" + dir + "/caddy/root-ca.crt";
  };
  ASSERT_EQ(reportAsUser(kAlice,
                         [&] {
                           for (const char* dir : {"fifo", "zero", "shadow", "sparse", "empty",
                                                   "inlink", "dir/caddy/root-ca.crt"}) {
                             fs::create_directories(kAliceHome + "/" + dir + "/caddy");
                           }
                           fs::create_symlink(kBob.home, kAliceHome + "/link-bob");
                           fs::create_symlink("/dev/zero", at("zero"));
                           fs::create_symlink("/etc/shadow", at("shadow"));
                           fs::create_symlink("../../caddy/root-ca.crt", at("inlink"));
                           std::ofstream(at("sparse")).close();
                           fs::resize_file(at("sparse"), std::uintmax_t{1} << 30);
                           std::ofstream(at("empty")).close();
                           return std::string(::mkfifo(at("fifo").c_str(), 0644) ? "mkfifo" : "");
                         }),
            "");
  seedKeychain({"other"});

  const std::string refused = "refused";  // both operations refuse the path as not the rule's
  const std::string unreadable = "NO 0 Couldn't read a valid certificate from ";
  const std::string looping = "Too many levels of symbolic links";
  const struct {
    std::string sent;
    std::string reconcile;  // the removal then succeeds, logging the tool's reason if any
    std::string toolReason;
  } cases[] = {
      {kAliceHome + "/caddy/Root-CA.crt", refused, ""},
      {kAliceHome + "/Caddy/root-ca.crt", refused, ""},
      {kAliceHome + "/root-ca.crt", refused, ""},
      {"/Users/bob/caddy/root-ca.crt", refused, ""},
      {kAliceHome + "/../bob/caddy/root-ca.crt", refused, ""},
      {kAliceHome + "/link-bob/caddy/root-ca.crt", refused, ""},
      {"caddy/root-ca.crt", refused, ""},
      {"", refused, ""},
      {at("zero"), refused, ""},
      {at("shadow"), refused, ""},
      {kAliceHome + "/gone/./caddy//root-ca.crt",
       "NO 0 Refusing to reconcile certificate at " + kAliceHome +
           "/gone/./caddy//root-ca.crt: not Tamsel's own root-CA path",
       ""},
      {at("dir") + "/",
       "NO 0 Refusing to reconcile certificate at " + at("dir") +
           "/: not Tamsel's own root-CA path",
       "Is a directory"},
      {at("fifo"), unreadable + at("fifo"), "not a regular file"},
      {at("sparse"), unreadable + at("sparse"), "larger than 1048576 bytes"},
      {kAliceHome + "/./empty//caddy/root-ca.crt", unreadable + at("empty"),
       "not a certificate (PEM or DER)"},
      // Read beneath the home, but the confined tool cannot follow the link.
      {at("inlink"),
       kAddFailed + "security add-certificates failed (exit 1): security: " + at("inlink") + ": " +
           looping + "\n",
       looping},
  };
  const auto standard = [](const std::string& sent) {
    std::string path = fs::path(sent).lexically_normal().string();
    return path.back() == '/' ? path.substr(0, path.size() - 1) : path;
  };
  std::vector<std::pair<Op, std::string>> calls;
  std::string expected, errors;
  for (const auto& c : cases) {
    calls.emplace_back(Op::kReconcile, c.sent);
    calls.emplace_back(Op::kRemove, c.sent);
    if (c.reconcile == refused) {
      expected += "NO 0 Refusing to reconcile certificate at " + c.sent +
                  ": not Tamsel's own root-CA path\nNO 0 Refusing to untrust certificate at " +
                  c.sent + ": not Tamsel's own root-CA path\n";
      continue;
    }
    expected += c.reconcile + "\nYES\n";
    if (!c.toolReason.empty()) {
      errors += kTrustNoOp +
                "security remove-trusted-cert failed (exit 1): security: " + standard(c.sent) +
                ": " + c.toolReason + "\n\n";
    }
  }
  const std::int64_t mark = store_.mark();
  const auto start = std::chrono::steady_clock::now();
  const std::string replies = callsAs(kAlice, calls);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(replies, expected);
  // bob may not name alice's file.
  EXPECT_EQ(callsAs(kBob, {{Op::kReconcile, kCAFile}, {Op::kRemove, kCAFile}}),
            "NO 0 Refusing to reconcile certificate at " + kCAFile +
                ": not Tamsel's own root-CA path\nNO 0 Refusing to untrust certificate at " +
                kCAFile + ": not Tamsel's own root-CA path\n");
  EXPECT_EQ(errorsSince(mark), errors);
  for (const std::string& text : logSince(mark)) {
    EXPECT_EQ(text.find('\0'), std::string::npos) << text;
    EXPECT_EQ(text.find(shadowStart), std::string::npos) << text;
  }
  EXPECT_EQ(replies.find(shadowStart), std::string::npos);
  EXPECT_EQ(keychainNames(), "other");
  fs::remove_all(std::string(kBob.home) + "/caddy");
}

TEST_F(RootCASystemTest, ToolFailuresAreRepliedOrLoggedWithTheirText) {
  // A corrupt keychain: the listing fails (so nothing is deleted), and the addition is tried.
  std::ofstream(kKeychain, std::ios::binary) << std::string(8192, 'Z');
  std::int64_t mark = store_.mark();
  const std::string corrupt =
      "(exit 1): security: cannot read keychain " + kKeychain + ": file is not a database\n";
  EXPECT_EQ(callsAs(kAlice, {{Op::kReconcile, kCAFile}}),
            kAddFailed + "security add-certificates failed " + corrupt + "\n");
  EXPECT_EQ(errorsSince(mark),
            "error: systemKeychainCertsPEM: find-certificate failed " + corrupt + "\n");

  // A keychain on a read-only mount: every deletion fails and is logged with its SHA-1 in upper
  // case; both operations still succeed.
  resetKeychain();
  seedKeychain({"current", "old1", "issued", "old2"});
  const std::string readOnly =
      ": security delete-certificate failed (exit 1): security: cannot "
      "write keychain " +
      kKeychain + ": attempt to write a readonly database\n\n";
  {
    ASSERT_EQ(::mount(kKeychainDir.c_str(), kKeychainDir.c_str(), nullptr, MS_BIND, nullptr), 0);
    Unmount undo{kKeychainDir};
    ASSERT_EQ(
        ::mount(nullptr, kKeychainDir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
        0)
        << std::strerror(errno);
    mark = store_.mark();
    fs::remove(kCAFile);
    EXPECT_EQ(callsAs(kAlice, {{Op::kRemove, kCAFile}}), "YES\n");
    writeAlicesFile(kCAFile, pemOf("current"));
    EXPECT_EQ(callsAs(kAlice, {{Op::kReconcile, kCAFile}}), "YES\n");
    std::string expected;
    for (const char* name : {"current", "old1", "issued", "old2"}) {
      expected += "error: removeTrustedCACertificate: failed to delete " + sha1Of(name) + readOnly;
    }
    for (const char* stale : {"old1", "old2"}) {
      expected += "error: reconcile: failed to delete stale root " + sha1Of(stale) + readOnly;
    }
    EXPECT_EQ(errorsSince(mark), expected);
  }
  EXPECT_EQ(keychainNames(), "current old1 issued old2");

  // No tool at all: the listing's launch failure is logged, the addition's is the reply, with
  // its errno; the removal logs both of its failures and succeeds.
  {
    const std::string bin = fs::path(kSecurity).parent_path();
    ASSERT_EQ(::mount("tmpfs", bin.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    Unmount undo{bin};
    mark = store_.mark();
    const std::string replies =
        callsAs(kAlice, {{Op::kReconcile, kCAFile}, {Op::kRemove, kCAFile}});
    const std::string cannotRun =
        kSecurity + ": could not launch " + kSecurity + ": " + std::strerror(ENOENT);
    EXPECT_EQ(replies, "NO " + std::to_string(ENOENT) +
                           " Failed to add root CA to the System keychain: Failed to run " +
                           cannotRun + "\nYES\n");
    const std::string listing = "error: systemKeychainCertsPEM: failed to run " + cannotRun + "\n";
    EXPECT_EQ(errorsSince(mark),
              listing + kTrustNoOp + "Failed to run " + cannotRun + "\n" + listing);
  }
}

// 20 loops, ten on each of two connections, reconcile and remove at once: the tool's
// transactions keep the keychain whole (one copy at most, nothing else touched), and once the
// loops are done both operations answer as usual.
TEST_F(RootCASystemTest, ConcurrentReconcileAndRemoveLoopsLeaveTheKeychainConsistent) {
  seedKeychain({"old1", "other"});
  // A reconcile racing another may find its addition made meanwhile.
  const std::string raced = kAddFailed +
                            "security add-certificates failed (exit 1): security: " + kCAFile +
                            ": the certificate is already in " + kKeychain + "\n";
  const std::string report = reportAsUser(kAlice, [&] {
    Result<HelperClient> a = HelperClient::connect();
    Result<HelperClient> b = HelperClient::connect();
    if (!a || !b) return std::string("not admitted");
    std::mutex lock;
    std::string unexpected;
    std::vector<std::thread> loops;
    for (int i = 0; i < 20; ++i) {
      loops.emplace_back([&, i] {
        HelperClient& helper = i % 2 ? *a : *b;
        for (int round = 0; round < 3; ++round) {
          const std::string added = call(helper, Op::kReconcile, kCAFile);
          const std::string removed = call(helper, Op::kRemove, kCAFile);
          std::lock_guard guard(lock);
          if (added != "YES" && added != raced) unexpected += added + "\n";
          if (removed != "YES") unexpected += removed + "\n";
        }
      });
    }
    for (std::thread& t : loops) t.join();
    return unexpected;
  });
  EXPECT_EQ(report, "");
  // The last removal may have listed the keychain before another loop's last addition landed.
  EXPECT_THAT(keychainNames(), testing::AnyOf("other", "other current"));
  EXPECT_EQ(callsAs(kAlice, {{Op::kReconcile, kCAFile}}), "YES\n");
  EXPECT_EQ(keychainNames(), "other current");
  EXPECT_EQ(callsAs(kAlice, {{Op::kRemove, kCAFile}}), "YES\n");
  EXPECT_EQ(keychainNames(), "other");
}

}  // namespace
}  // namespace tamsel::systemtest
