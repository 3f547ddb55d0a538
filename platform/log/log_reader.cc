#include "platform/log/log_reader.h"

#include "platform/log/sqlite_handle.h"
#include "platform/log/store_schema.h"

namespace tamsel::log {

void LogReader::Close::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

Result<LogReader> LogReader::open(std::string_view path) {
  auto db = detail::openDatabase(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, 5000);
  if (!db) return db.error();
  return LogReader(std::unique_ptr<sqlite3, Close>(db->release()));
}

Status LogReader::forEachSince(std::string_view subsystem, std::int64_t since,
                               const std::function<bool(const StoredEntry&)>& visit) const {
  sqlite3* h = db_.get();
  auto stmt = detail::prepare(h, detail::kEntriesSinceQuery);
  if (!stmt) return stmt.error();
  sqlite3_stmt* st = stmt->get();
  sqlite3_bind_text(st, 1, subsystem.data(), static_cast<int>(subsystem.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st, 2, since);
  const auto text = [st](int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
    return p == nullptr
               ? std::string_view()
               : std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(st, col)));
  };
  for (;;) {
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) return detail::sqliteError(h, rc, "cannot read log store");
    StoredEntry entry;
    entry.time = sqlite3_column_int64(st, 0);
    entry.level = sqlite3_column_int(st, 1);
    entry.category = text(2);
    entry.message = text(3);
    if (!visit(entry)) return {};
  }
}

}  // namespace tamsel::log
