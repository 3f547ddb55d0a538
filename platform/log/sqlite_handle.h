// Owning handles for SQLite connections and statements (internal to the log store).
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace tamsel::log::detail {

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStmt {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using DbHandle = std::unique_ptr<sqlite3, CloseDb>;
using StmtHandle = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;

// "<what>: <SQLite's message>", with the extended result code as the error's code.
inline Error sqliteError(sqlite3* db, int rc, std::string_view what) {
  std::string text(what);
  text += ": ";
  text += db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  return Error{rc, std::move(text)};
}

// Opens path with flags (always with extended result codes and without following a symlink).
inline Result<DbHandle> openDatabase(std::string_view path, int flags, int busyTimeoutMs) {
  sqlite3* raw = nullptr;
  const std::string p(path);
  const int rc = sqlite3_open_v2(p.c_str(), &raw,
                                 flags | SQLITE_OPEN_EXRESCODE | SQLITE_OPEN_NOFOLLOW, nullptr);
  DbHandle db(raw);
  if (rc != SQLITE_OK) return sqliteError(db.get(), rc, "cannot open log store " + p);
  sqlite3_busy_timeout(db.get(), busyTimeoutMs);
  return db;
}

inline Result<StmtHandle> prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  StmtHandle stmt(raw);
  if (rc != SQLITE_OK) return sqliteError(db, rc, "cannot read log store");
  return stmt;
}

}  // namespace tamsel::log::detail
