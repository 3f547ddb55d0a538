#include "tools/security/keychain.h"

#include <sqlite3.h>

#include <cerrno>
#include <filesystem>

#include "platform/files.h"

namespace tamsel::security {
namespace {

// Marks the file as a keychain of this layout (the header's application_id, "TKC1").
constexpr int kApplicationId = 0x544B4331;
// A writer waits this long for another to finish before it gives up.
constexpr int kBusyTimeoutMs = 60'000;

// Rows are never renumbered, and a new row's id is above every id present, so the id order is
// the order of insertion. Deleting a certificate deletes its trust setting with it.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS certificates (
  id INTEGER PRIMARY KEY,
  sha1 TEXT NOT NULL,
  sha256 TEXT NOT NULL UNIQUE,
  subject TEXT NOT NULL,
  der BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS certificates_by_sha1 ON certificates (sha1);
CREATE TABLE IF NOT EXISTS trust_settings (
  certificate INTEGER PRIMARY KEY REFERENCES certificates (id) ON DELETE CASCADE,
  domain TEXT NOT NULL CHECK (domain = 'admin'),
  result TEXT NOT NULL CHECK (result = 'trustRoot'));
PRAGMA application_id = 1414218545;
)sql";
static_assert(kApplicationId == 1414218545);

struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement prepare(sqlite3* db, std::string_view sql, int* rc) {
  sqlite3_stmt* raw = nullptr;
  *rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  return Statement(raw);
}

void bindText(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// The single integer a query answers (0 when it answers no row).
int queryInt(sqlite3* db, std::string_view sql, int* rc) {
  Statement s = prepare(db, sql, rc);
  if (*rc != SQLITE_OK) return 0;
  *rc = sqlite3_step(s.get());
  if (*rc == SQLITE_ROW) {
    *rc = SQLITE_OK;
    return sqlite3_column_int(s.get(), 0);
  }
  if (*rc == SQLITE_DONE) *rc = SQLITE_OK;
  return 0;
}

}  // namespace

void Keychain::Close::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

Keychain::Keychain(std::string path, sqlite3* db, bool isSystem)
    : path_(std::move(path)), db_(db), isSystem_(isSystem) {}
Keychain::Keychain(Keychain&&) noexcept = default;
Keychain& Keychain::operator=(Keychain&&) noexcept = default;
Keychain::~Keychain() = default;

Error Keychain::failure(int rc, std::string_view what) const {
  std::string text(what);
  text += " keychain " + path_ + ": ";
  text += db_ != nullptr ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc);
  return Error{rc, std::move(text)};
}

Result<Keychain> Keychain::open(const std::string& path, bool create) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    return Error{EINVAL, path + ": not a regular file"};
  }
  if (!fs::exists(status)) {
    if (ec && ec != std::errc::no_such_file_or_directory) {
      return Error{ec.value(), path + ": " + ec.message()};
    }
    if (!create) return Keychain(path, nullptr, false);
    const std::string parent = fs::path(path).parent_path();
    if (!parent.empty()) {
      if (Status made = createDirectories(parent); !made) return made.error();
    }
  }

  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) |
                    SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Keychain keychain(path, raw, fs::equivalent(path, kSystemKeychain, ec) && !ec);
  if (rc != SQLITE_OK) return keychain.failure(rc, "cannot open");
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  rc = sqlite3_exec(raw, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return keychain.failure(rc, "cannot open");

  // One statement, so both come from one snapshot even while another run creates the keychain.
  // 1: a keychain; 0: an empty database; anything else: some other database.
  const int kind = queryInt(raw,
                            "SELECT CASE WHEN application_id = 1414218545 THEN 1 "
                            "WHEN application_id = 0 AND (SELECT count(*) FROM sqlite_schema) = 0 "
                            "THEN 0 ELSE 2 END FROM pragma_application_id",
                            &rc);
  if (rc != SQLITE_OK) return keychain.failure(rc, "cannot read");
  if (kind == 1) return keychain;
  if (kind != 0) return Error{0, path + ": not a keychain"};
  // An empty database: made a keychain by its first change, read as empty until then.
  if (!create) return Keychain(path, nullptr, false);
  Status made = keychain.transaction([&]() -> Status {
    const int again = sqlite3_exec(raw, kSchema, nullptr, nullptr, nullptr);
    if (again != SQLITE_OK) return keychain.failure(again, "cannot write");
    return Status::success();
  });
  if (!made) return made.error();
  return keychain;
}

Status Keychain::transaction(const std::function<Status()>& change) {
  int rc = sqlite3_exec(db_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return failure(rc, "cannot write");
  Status status = change();
  if (status) {
    rc = sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return status;
    status = failure(rc, "cannot write");
  }
  sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  return status;
}

Status Keychain::execute(std::string_view sql, const std::vector<std::string_view>& texts,
                         int* changes) {
  int rc = SQLITE_OK;
  Statement s = prepare(db_.get(), sql, &rc);
  if (rc != SQLITE_OK) return failure(rc, "cannot write");
  for (std::size_t i = 0; i < texts.size(); ++i)
    bindText(s.get(), static_cast<int>(i + 1), texts[i]);
  rc = sqlite3_step(s.get());
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) return failure(rc, "cannot write");
  if (changes != nullptr) *changes = sqlite3_changes(db_.get());
  return Status::success();
}

Result<std::vector<StoredCertificate>> Keychain::certificates() {
  std::vector<StoredCertificate> out;
  if (!db_) return out;
  int rc = SQLITE_OK;
  Statement s = prepare(db_.get(),
                        "SELECT c.der, c.sha1, c.sha256, t.certificate IS NOT NULL "
                        "FROM certificates c LEFT JOIN trust_settings t ON t.certificate = c.id "
                        "ORDER BY c.id",
                        &rc);
  if (rc != SQLITE_OK) return failure(rc, "cannot read");
  const auto column = [&](int i) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s.get(), i));
    return std::string(bytes != nullptr ? bytes : "",
                       static_cast<std::size_t>(sqlite3_column_bytes(s.get(), i)));
  };
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    out.push_back({column(0), column(1), column(2), sqlite3_column_int(s.get(), 3) != 0});
  }
  if (rc != SQLITE_DONE) return failure(rc, "cannot read");
  return out;
}

Result<bool> Keychain::contains(std::string_view sha256) {
  int rc = SQLITE_OK;
  Statement s = prepare(db_.get(), "SELECT 1 FROM certificates WHERE sha256 = ?1", &rc);
  if (rc != SQLITE_OK) return failure(rc, "cannot read");
  bindText(s.get(), 1, sha256);
  rc = sqlite3_step(s.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return failure(rc, "cannot read");
  return rc == SQLITE_ROW;
}

Status Keychain::add(const StoredCertificate& certificate, std::string_view subject) {
  int rc = SQLITE_OK;
  Statement s = prepare(db_.get(),
                        "INSERT INTO certificates (sha1, sha256, subject, der) "
                        "VALUES (?1, ?2, ?3, ?4)",
                        &rc);
  if (rc != SQLITE_OK) return failure(rc, "cannot write");
  bindText(s.get(), 1, certificate.sha1);
  bindText(s.get(), 2, certificate.sha256);
  bindText(s.get(), 3, subject);
  sqlite3_bind_blob(s.get(), 4, certificate.der.data(), static_cast<int>(certificate.der.size()),
                    SQLITE_TRANSIENT);
  rc = sqlite3_step(s.get());
  if (rc != SQLITE_DONE) return failure(rc, "cannot write");
  if (certificate.trusted) return setTrusted(certificate.sha256);
  return Status::success();
}

Result<int> Keychain::removeBySha1(std::string_view sha1) {
  int changes = 0;
  Status s = execute("DELETE FROM certificates WHERE sha1 = upper(?1)", {sha1}, &changes);
  if (!s) return s.error();
  return changes;
}

Status Keychain::setTrusted(std::string_view sha256) {
  return execute(
      "INSERT OR REPLACE INTO trust_settings (certificate, domain, result) "
      "SELECT id, 'admin', 'trustRoot' FROM certificates WHERE sha256 = ?1",
      {sha256});
}

Result<bool> Keychain::clearTrusted(std::string_view sha256) {
  int changes = 0;
  Status s = execute(
      "DELETE FROM trust_settings WHERE certificate IN "
      "(SELECT id FROM certificates WHERE sha256 = ?1)",
      {sha256}, &changes);
  if (!s) return s.error();
  return changes > 0;
}

}  // namespace tamsel::security
