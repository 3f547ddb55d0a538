// The root-CA operations against the real daemon and the real keychain tool, asked through the
// client library by alice (and bob). What changed is read from the System keychain with the tool
// itself and from the log store; the tool's failures are real ones: a corrupt keychain, one on a
// read-only mount, and no tool at all.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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
namespace model = CASystemKeychainReconciler;
using client::HelperClient;

const std::string kSecurity = "/usr/bin/security";
const std::string kKeychainDir = "/Library/Keychains";
const std::string kKeychain = kKeychainDir + "/System.keychain";
const std::string kCertDir = "/tmp/root-ca-system-test";
const std::string kAliceHome(kAlice.home);
const std::string kCAFile = kAliceHome + "/caddy/root-ca.crt";
const std::string kReconcileEntry = "info: reconcileSystemCACertificate: path=";
const std::string kRemoveEntry = "info: removeTrustedCACertificate: path=";
const std::string kTrustNoOp =
    "error: removeTrustedCACertificate: clearing the trust setting was a no-op or failed "
    "(continuing to purge the cert): security remove-trusted-cert failed (exit 1): security: ";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes path (and its directories) as root, then gives it all to alice.
void writeAlicesFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  for (fs::path p = path; p.string().size() > kAliceHome.size(); p = p.parent_path()) {
    ASSERT_EQ(::lchown(p.c_str(), kAlice.uid, kAlice.gid), 0) << p;
  }
}

// ---- The test certificates, made once ---------------------------------------------------------

struct TestCert {
  std::string name;
  std::string der;
  std::string pem;
  std::string file() const { return kCertDir + "/" + name + ".pem"; }
};

// "current" is what alice's file holds; "old1" and "old2" are earlier self-signed roots of the
// same name; "issued" has the name but is issued by "other", a root of another name.
const std::vector<TestCert>& testCerts() {
  static const std::vector<TestCert> made = [] {
    namespace cs = codesign::testing;
    fs::create_directories(kCertDir);
    cs::CertificateSpec spec;
    spec.ca = true;
    spec.keyUsage = "critical,keyCertSign,cRLSign";
    spec.extendedKeyUsage = std::nullopt;
    spec.subject = {{"CN", "Other Root"}};
    std::vector<std::pair<std::string, cs::KeyAndCertificate>> pairs;
    pairs.emplace_back("other", cs::makeCertificate(spec, nullptr));
    spec.subject = {{"CN", "Tamsel Local CA"}, {"O", "Tamsel Dev"}};
    for (const char* name : {"current", "old1", "old2"}) {
      pairs.emplace_back(name, cs::makeCertificate(spec, nullptr));
    }
    pairs.emplace_back("issued", cs::makeCertificate(spec, &pairs.front().second));
    std::vector<TestCert> out;
    for (const auto& [name, pair] : pairs) {
      TestCert cert{name, {}, {}};
      unsigned char* der = nullptr;
      const int size = i2d_X509(pair.certificate.get(), &der);
      cert.der.assign(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
      OPENSSL_free(der);
      cs::writeKeyAndCertificate(pair, kCertDir + "/" + name);
      cert.pem = readFile(cert.file());
      out.push_back(std::move(cert));
    }
    return out;
  }();
  return made;
}

const TestCert& cert(std::string_view name) {
  for (const TestCert& c : testCerts()) {
    if (c.name == name) return c;
  }
  throw std::logic_error("no test certificate " + std::string(name));
}

std::string sha1Of(std::string_view name) {
  return model::sha1Fingerprint(cert(name).der);
}

// ---- The System keychain, through the tool itself ----------------------------------------------

void resetKeychain() {
  fs::remove(kKeychain);
  fs::remove(kKeychain + "-journal");
}

void seedKeychain(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    const ProgramResult r = runProgram({kSecurity, "add-certificates", "-k", kKeychain,
                                        cert(name).file()});
    ASSERT_EQ(r.status, 0) << r.describe();
  }
}

// The test names of the certificates the keychain lists, in its order.
std::string keychainNames() {
  const ProgramResult r = runProgram({kSecurity, "find-certificate", "-a", "-p", kKeychain});
  if (r.status != 0) return "listing failed: " + r.describe();
  std::string names;
  for (const std::string& der : model::certificatesFromPEM(r.out)) {
    std::string name = "?";
    for (const TestCert& c : testCerts()) {
      if (c.der == der) name = c.name;
    }
    names += (names.empty() ? "" : " ") + name;
  }
  return names;
}

// ---- Calls as a test user ------------------------------------------------------------------

enum class Op { kReconcile, kRemove };

// "YES" for (YES, null, 0); otherwise "NO <code> <message>".
std::string replyText(const Result<StatusReply>& r) {
  if (!r) return "call failed: " + r.error().description;
  const std::string tail = std::to_string(r->code) + " " + r->message.value_or("null");
  return r->ok ? (tail == "0 null" ? "YES" : "YES " + tail) : "NO " + tail;
}

// One call, answered within 10 s or reported as hanging.
std::string call(HelperClient& helper, Op op, const std::string& path) {
  auto answered = std::make_shared<std::promise<std::string>>();
  auto callback = [answered](Result<StatusReply> r) { answered->set_value(replyText(r)); };
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

// The replies to calls made in order on one connection, one line each.
std::string callsAs(const TestUser& user, const std::vector<std::pair<Op, std::string>>& calls) {
  return reportAsUser(user, [&] {
    Result<HelperClient> helper = HelperClient::connect();
    if (!helper) return "not admitted: " + helper.error().description;
    std::string out;
    for (const auto& [op, path] : calls) out += call(*helper, op, path) + "\n";
    return out;
  });
}

std::string reconcileAsAlice(const std::string& path = kCAFile) {
  return callsAs(kAlice, {{Op::kReconcile, path}});
}
std::string removeAsAlice(const std::string& path = kCAFile) {
  return callsAs(kAlice, {{Op::kRemove, path}});
}

// ---- Mounts that make the tool fail for real ---------------------------------------------------

// Undone on destruction (lazily, so a run still holding it cannot keep it).
class TemporaryMount {
 public:
  // A read-only view of dir over itself.
  static TemporaryMount readOnly(const std::string& dir) {
    TemporaryMount m(dir, ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0);
    m.ok_ = m.ok_ && ::mount(nullptr, dir.c_str(), nullptr,
                             MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    return m;
  }
  // An empty directory over dir.
  static TemporaryMount empty(const std::string& dir) {
    return TemporaryMount(dir, ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") == 0);
  }
  TemporaryMount(TemporaryMount&& other) noexcept
      : dir_(std::move(other.dir_)), ok_(std::exchange(other.ok_, false)) {}
  ~TemporaryMount() {
    if (ok_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }

 private:
  TemporaryMount(std::string dir, bool mounted) : dir_(std::move(dir)), ok_(mounted) {}
  std::string dir_;
  bool ok_;
};

// ---- The tests -------------------------------------------------------------------------------

class RootCASystemTest : public testing::Test {
 protected:
  void SetUp() override {
    resetKeychain();
    clearAlicesHome();
    writeAlicesFile(kCAFile, cert("current").pem);
  }
  void TearDown() override {
    resetKeychain();
    clearAlicesHome();
  }

  static void clearAlicesHome() {
    for (const auto& entry : fs::directory_iterator(kAliceHome)) fs::remove_all(entry.path());
  }

  // What the daemon logged since mark: "info: ..." and "error: ..." lines.
  std::vector<std::string> logSince(std::int64_t mark) const {
    std::vector<std::string> lines;
    for (const StoredEntry& e : store_.entriesAfter(mark)) {
      if (e.subsystem != kHelperIdentifier) continue;
      lines.push_back((e.level == 4 ? "error: " : e.level == 2 ? "info: " : "other: ") +
                      e.message);
    }
    return lines;
  }

  LogStoreReader store_{std::string(kLogStorePath)};
};

TEST_F(RootCASystemTest, ReconcileDeletesStaleRootsAndAddsTheFilesCertificate) {
  const std::string crlf = [] {
    std::string text = cert("current").pem, out;
    for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return "  " + out;
  }();
  const struct {
    const char* what;
    std::vector<std::string> keychain;
    std::string file;
    std::string reply;
    std::string after;
  } cases[] = {
      {"already current: only the listing runs", {"current"}, cert("current").pem, "YES",
       "current"},
      {"two stale roots", {"old1", "current", "other", "old2", "issued"}, cert("current").pem,
       "YES", "current other issued"},
      {"a stale root, then the addition (DER file)", {"old1", "other"}, cert("current").der,
       "YES", "other current"},
      {"no keychain yet (PEM with CR LF and blanks)", {}, crlf, "YES", "current"},
      {"the file's certificate is not self-signed", {"issued"}, cert("issued").pem,
       "NO 0 Failed to add root CA to the System keychain: security add-certificates failed "
       "(exit 1): security: " +
           kCAFile + ": the certificate is already in " + kKeychain + "\n",
       "issued"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    resetKeychain();
    seedKeychain(c.keychain);
    writeAlicesFile(kCAFile, c.file);
    const std::int64_t mark = store_.mark();
    EXPECT_EQ(reconcileAsAlice(), c.reply + "\n");
    EXPECT_EQ(keychainNames(), c.after);
    EXPECT_EQ(logSince(mark), std::vector<std::string>{kReconcileEntry + kCAFile});
  }
}

TEST_F(RootCASystemTest, RemovalClearsTrustThenDeletesEveryCertificateOfTheName) {
  // The file is gone: no trust removal, and all three of the name go, whatever their issuer.
  seedKeychain({"current", "old1", "other", "issued"});
  fs::remove(kCAFile);
  std::int64_t mark = store_.mark();
  EXPECT_EQ(removeAsAlice(), "YES\n");
  EXPECT_EQ(keychainNames(), "other");
  EXPECT_EQ(logSince(mark), std::vector<std::string>{kRemoveEntry + kCAFile});

  // The file is there but its certificate has no trust setting: logged, and the purge goes on.
  resetKeychain();
  seedKeychain({"current"});
  writeAlicesFile(kCAFile, cert("current").pem);
  mark = store_.mark();
  EXPECT_EQ(removeAsAlice(), "YES\n");
  EXPECT_EQ(keychainNames(), "");
  EXPECT_EQ(logSince(mark),
            (std::vector<std::string>{
                kRemoveEntry + kCAFile,
                kTrustNoOp + kCAFile + ": the certificate has no trust setting in " + kKeychain +
                    "\n"}));
}

TEST_F(RootCASystemTest, PathsBreakingTheRuleAreRefusedQuotingThePathAsSent) {
  writeAlicesFile(kAliceHome + "/dir/caddy/root-ca.crt/inner", "");
  fs::create_symlink(kBob.home, kAliceHome + "/link-bob");
  fs::create_directories(std::string(kBob.home) + "/caddy");
  std::ofstream(std::string(kBob.home) + "/caddy/root-ca.crt") << cert("current").pem;
  seedKeychain({"other"});

  const std::string refused = "Refusing to reconcile certificate at ";
  const std::string untrust = "Refusing to untrust certificate at ";
  const std::string rule = ": not Tamsel's own root-CA path";
  const struct {
    std::string path;
    bool removalAccepts;  // the rule holds but for the file's existence
  } cases[] = {
      {kAliceHome + "/caddy/Root-CA.crt", false},
      {kAliceHome + "/Caddy/root-ca.crt", false},
      {kAliceHome + "/caddy/root-ca.crt.bak", false},
      {kAliceHome + "/root-ca.crt", false},
      {"/Users/bob/caddy/root-ca.crt", false},
      {kAliceHome + "/../bob/caddy/root-ca.crt", false},
      {kAliceHome + "/link-bob/caddy/root-ca.crt", false},
      {"caddy/root-ca.crt", false},
      {"", false},
      {kAliceHome + "/gone/./caddy//root-ca.crt", true},  // missing
      {kAliceHome + "/dir/caddy/root-ca.crt/", true},     // a directory
  };
  std::vector<std::pair<Op, std::string>> calls;
  std::string expected;
  for (const auto& c : cases) {
    calls.emplace_back(Op::kReconcile, c.path);
    calls.emplace_back(Op::kRemove, c.path);
    expected += "NO 0 " + refused + c.path + rule + "\n";
    expected += c.removalAccepts ? "YES\n" : "NO 0 " + untrust + c.path + rule + "\n";
  }
  const std::int64_t mark = store_.mark();
  EXPECT_EQ(callsAs(kAlice, calls), expected);
  // bob may not name alice's file.
  EXPECT_EQ(callsAs(kBob, {{Op::kReconcile, kCAFile}, {Op::kRemove, kCAFile}}),
            "NO 0 " + refused + kCAFile + rule + "\nNO 0 " + untrust + kCAFile + rule + "\n");
  EXPECT_EQ(keychainNames(), "other");

  // Only the directory made a tool run, which failed; every other call logged its entry only.
  std::vector<std::string> lines;
  for (const std::string& line : logSince(mark)) {
    if (line.rfind("info: ", 0) != 0) lines.push_back(line);
  }
  EXPECT_EQ(lines, std::vector<std::string>{kTrustNoOp + kAliceHome +
                                            "/dir/caddy/root-ca.crt: Is a directory\n"});
  fs::remove_all(std::string(kBob.home) + "/caddy");
}

// alice leaves things at the path that must not be read as root: each request is answered
// promptly with the refusal its kind calls for, and nothing of the target reaches a reply or a
// log line.
TEST_F(RootCASystemTest, HostileFilesAreRefusedPromptlyWithoutReadingThem) {
  const std::string secret = "root:SECRET-HASH-FROM-SHADOW:19000:0:99999:7:::\n";
  if (!fs::exists("/etc/shadow")) std::ofstream("/etc/shadow") << secret;
  const std::string shadow = readFile("/etc/shadow");
  ASSERT_FALSE(shadow.empty());

  const auto at = [](const char* dir) { return kAliceHome + "/" + dir + "/caddy/root-ca.crt"; };
  ASSERT_EQ(reportAsUser(kAlice,
                         [&] {
                           std::string failed;
                           for (const char* dir : {"fifo", "zero", "shadow", "sparse", "empty"}) {
                             fs::create_directories(kAliceHome + "/" + dir + "/caddy");
                           }
                           if (::mkfifo(at("fifo").c_str(), 0644) != 0) failed += "mkfifo ";
                           fs::create_symlink("/dev/zero", at("zero"));
                           fs::create_symlink("/etc/shadow", at("shadow"));
                           std::ofstream(at("sparse")).close();
                           fs::resize_file(at("sparse"), std::uintmax_t{1} << 30);
                           std::ofstream(at("empty")).close();
                           return failed;
                         }),
            "");

  const std::string unreadable = "NO 0 Couldn't read a valid certificate from ";
  const std::string outside = ": not Tamsel's own root-CA path\n";
  const struct {
    std::string sent;
    std::string reconcile;
    std::string removal;
    std::string logged;  // the tool's reason for not clearing a trust setting
  } cases[] = {
      {at("fifo"), unreadable + at("fifo") + "\n", "YES\n", "not a regular file"},
      {at("zero"), "NO 0 Refusing to reconcile certificate at " + at("zero") + outside,
       "NO 0 Refusing to untrust certificate at " + at("zero") + outside, ""},
      {at("shadow"), "NO 0 Refusing to reconcile certificate at " + at("shadow") + outside,
       "NO 0 Refusing to untrust certificate at " + at("shadow") + outside, ""},
      {at("sparse"), unreadable + at("sparse") + "\n", "YES\n", "larger than 1048576 bytes"},
      {kAliceHome + "/./empty//caddy/root-ca.crt", unreadable + at("empty") + "\n", "YES\n",
       "not a certificate (PEM or DER)"},
  };
  const std::int64_t mark = store_.mark();
  std::string logged;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    const auto start = std::chrono::steady_clock::now();
    const std::string replies = callsAs(kAlice, {{Op::kReconcile, c.sent}, {Op::kRemove, c.sent}});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(replies, c.reconcile + c.removal);
    EXPECT_EQ(replies.find('\0'), std::string::npos);
    EXPECT_EQ(replies.find(shadow.substr(0, 12)), std::string::npos);
    if (!c.logged.empty()) {
      logged += kTrustNoOp + fs::path(c.sent).lexically_normal().string() + ": " + c.logged +
                "\n\n";
    }
  }
  std::string errors;
  for (const std::string& line : logSince(mark)) {
    EXPECT_EQ(line.find('\0'), std::string::npos);
    EXPECT_EQ(line.find(shadow.substr(0, 12)), std::string::npos);
    if (line.rfind("info: ", 0) != 0) errors += line + "\n";
  }
  EXPECT_EQ(errors, logged);
  EXPECT_EQ(keychainNames(), "");
}

TEST_F(RootCASystemTest, ToolFailuresAreRepliedOrLoggedWithTheirText) {
  const std::string addFailed = "NO 0 Failed to add root CA to the System keychain: ";
  // A corrupt keychain: the listing fails (so nothing is deleted) and the addition is tried.
  std::ofstream(kKeychain, std::ios::binary) << std::string(8192, '\x5a');
  std::int64_t mark = store_.mark();
  const std::string notADatabase = "keychain " + kKeychain + ": file is not a database\n";
  EXPECT_EQ(reconcileAsAlice(),
            addFailed + "security add-certificates failed (exit 1): security: cannot read " +
                notADatabase);
  EXPECT_EQ(logSince(mark),
            (std::vector<std::string>{kReconcileEntry + kCAFile,
                                      "error: systemKeychainCertsPEM: find-certificate failed "
                                      "(exit 1): security: cannot read " +
                                          notADatabase}));

  // A keychain on a read-only mount: every deletion fails, each logged with its SHA-1 in upper
  // case, and both operations still succeed.
  resetKeychain();
  seedKeychain({"current", "old1", "issued", "old2"});
  const std::string readOnly = "(exit 1): security: cannot write keychain " + kKeychain +
                               ": attempt to write a readonly database\n";
  {
    TemporaryMount mounted = TemporaryMount::readOnly(kKeychainDir);
    ASSERT_TRUE(mounted.ok()) << std::strerror(errno);
    mark = store_.mark();
    EXPECT_EQ(reconcileAsAlice(), "YES\n");
    std::vector<std::string> expected = {kReconcileEntry + kCAFile};
    for (const char* stale : {"old1", "old2"}) {
      expected.push_back("error: reconcile: failed to delete stale root " + sha1Of(stale) +
                         ": security delete-certificate failed " + readOnly);
    }
    EXPECT_EQ(logSince(mark), expected);

    fs::remove(kCAFile);
    mark = store_.mark();
    EXPECT_EQ(removeAsAlice(), "YES\n");
    expected = {kRemoveEntry + kCAFile};
    for (const char* name : {"current", "old1", "issued", "old2"}) {
      expected.push_back("error: removeTrustedCACertificate: failed to delete " + sha1Of(name) +
                         ": security delete-certificate failed " + readOnly);
    }
    EXPECT_EQ(logSince(mark), expected);
  }
  EXPECT_EQ(keychainNames(), "current old1 issued old2");

  // No tool at all: the listing's launch failure is logged, the addition's is the reply, with
  // its errno.
  writeAlicesFile(kCAFile, cert("current").pem);
  const std::string launch = "could not launch " + kSecurity + ": No such file or directory";
  {
    TemporaryMount mounted = TemporaryMount::empty(fs::path(kSecurity).parent_path());
    ASSERT_TRUE(mounted.ok()) << std::strerror(errno);
    mark = store_.mark();
    const std::string reconciled = reconcileAsAlice();
    const std::string removed = removeAsAlice();
    const std::vector<std::string> lines = logSince(mark);
    EXPECT_EQ(reconciled, "NO " + std::to_string(ENOENT) +
                              " Failed to add root CA to the System keychain: Failed to run " +
                              kSecurity + ": " + launch + "\n");
    EXPECT_EQ(removed, "YES\n");
    const std::string listing = "error: systemKeychainCertsPEM: failed to run " + kSecurity +
                                ": " + launch;
    EXPECT_EQ(lines, (std::vector<std::string>{
                         kReconcileEntry + kCAFile, listing, kRemoveEntry + kCAFile,
                         "error: removeTrustedCACertificate: clearing the trust setting was a "
                         "no-op or failed (continuing to purge the cert): Failed to run " +
                             kSecurity + ": " + launch,
                         listing}));
  }
}

// 20 loops, ten on each of two connections, reconcile and remove at once: the tool's
// transactions keep the keychain whole, and once they are done it answers as usual.
TEST_F(RootCASystemTest, ConcurrentReconcileAndRemoveLoopsLeaveTheKeychainConsistent) {
  seedKeychain({"old1", "other"});
  const std::string duplicate =
      "NO 0 Failed to add root CA to the System keychain: security add-certificates failed "
      "(exit 1): security: " +
      kCAFile + ": the certificate is already in " + kKeychain + "\n";
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
        for (int round = 0; round < 5; ++round) {
          // A reconcile racing another may find its addition already made.
          const std::string added = call(helper, Op::kReconcile, kCAFile) + "\n";
          const std::string removed = call(helper, Op::kRemove, kCAFile);
          std::lock_guard guard(lock);
          if (added != "YES\n" && added != duplicate) unexpected += added;
          if (removed != "YES") unexpected += removed + "\n";
        }
      });
    }
    for (std::thread& t : loops) t.join();
    return unexpected;
  });
  EXPECT_EQ(report, "");
  EXPECT_EQ(keychainNames(), "other");
  EXPECT_EQ(reconcileAsAlice(), "YES\n");
  EXPECT_EQ(keychainNames(), "other current");
  EXPECT_EQ(removeAsAlice(), "YES\n");
  EXPECT_EQ(keychainNames(), "other");
}

}  // namespace
}  // namespace tamsel::systemtest
