#include "sandbox/tests/support/log_store_reader.h"

#include <sqlite3.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

namespace tamsel::systemtest {
namespace {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// Null when the store does not exist yet; throws when it exists but cannot be opened.
Db openReadOnly(const std::string& path) {
  if (::access(path.c_str(), F_OK) != 0) return nullptr;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    throw std::runtime_error("cannot open the log store " + path + ": " +
                             (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  sqlite3_busy_timeout(db.get(), 5000);
  return db;
}

Stmt prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("log store query failed: ") + sqlite3_errmsg(db));
  }
  return Stmt(raw);
}

std::string text(sqlite3_stmt* stmt, int column) {
  const unsigned char* p = sqlite3_column_text(stmt, column);
  return p ? reinterpret_cast<const char*>(p) : "";
}

}  // namespace

LogStoreReader::LogStoreReader(std::string path) : path_(std::move(path)) {}

std::int64_t LogStoreReader::mark() const {
  Db db = openReadOnly(path_);
  if (!db) return 0;
  Stmt stmt = prepare(db.get(), "SELECT COALESCE(MAX(id), 0) FROM entries");
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
    throw std::runtime_error(std::string("log store query failed: ") + sqlite3_errmsg(db.get()));
  }
  return sqlite3_column_int64(stmt.get(), 0);
}

std::vector<StoredEntry> LogStoreReader::entriesAfter(std::int64_t mark) const {
  std::vector<StoredEntry> entries;
  Db db = openReadOnly(path_);
  if (!db) return entries;
  Stmt stmt = prepare(db.get(),
                      "SELECT id, level, subsystem, category, message FROM entries"
                      " WHERE id > ?1 ORDER BY id");
  sqlite3_bind_int64(stmt.get(), 1, mark);
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    entries.push_back({sqlite3_column_int64(stmt.get(), 0), sqlite3_column_int(stmt.get(), 1),
                       text(stmt.get(), 2), text(stmt.get(), 3), text(stmt.get(), 4)});
  }
  if (rc != SQLITE_DONE) {
    throw std::runtime_error(std::string("log store query failed: ") + sqlite3_errmsg(db.get()));
  }
  return entries;
}

std::string describe(const std::vector<StoredEntry>& entries) {
  std::string out;
  for (const StoredEntry& e : entries) {
    out += std::to_string(e.level) + " " + e.subsystem + "/" + e.category + ": " + e.message + "\n";
  }
  return out.empty() ? "(no entries)\n" : out;
}

}  // namespace tamsel::systemtest
