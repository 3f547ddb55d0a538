#include "platform/log/log_reader.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/log/sqlite_handle.h"
#include "platform/log/store_schema.h"

namespace tamsel::log {
namespace {

bool identify(std::string_view path, std::uint64_t& device, std::uint64_t& inode) {
  struct stat st {};
  if (::stat(std::string(path).c_str(), &st) != 0) return false;
  device = st.st_dev;
  inode = st.st_ino;
  return true;
}

}  // namespace

void LogReader::Close::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}
void LogReader::Finalize::operator()(sqlite3_stmt* stmt) const {
  sqlite3_finalize(stmt);
}

Result<LogReader> LogReader::open(std::string_view path) {
  std::uint64_t device = 0, inode = 0;
  const bool before = identify(path, device, inode);
  auto db = detail::openDatabase(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, 5000);
  if (!db) return db.error();
  LogReader reader;
  reader.db_.reset(db->release());
  // Known only when the file did not change while it was being opened.
  std::uint64_t deviceAfter = 0, inodeAfter = 0;
  if (before && identify(path, deviceAfter, inodeAfter) && deviceAfter == device &&
      inodeAfter == inode) {
    reader.device_ = device;
    reader.inode_ = inode;
    reader.identified_ = true;
  }
  return reader;
}

bool LogReader::stillAt(std::string_view path) const {
  std::uint64_t device = 0, inode = 0;
  return identified_ && identify(path, device, inode) && device == device_ && inode == inode_;
}

Status LogReader::forEachSince(std::string_view subsystem, std::int64_t since,
                               const std::function<bool(const StoredEntry&)>& visit) {
  sqlite3* h = db_.get();
  if (!query_) {
    auto stmt = detail::prepare(h, detail::kEntriesSinceQuery);
    if (!stmt) return stmt.error();
    query_.reset(stmt->release());
  }
  sqlite3_stmt* st = query_.get();
  // Ends the statement's read transaction on every way out.
  struct Reset {
    sqlite3_stmt* st;
    ~Reset() { sqlite3_reset(st); }
  } const reset{st};
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

LogReaderPool::Lease::~Lease() {
  if (pool_ != nullptr && reader_) pool_->release(std::move(path_), std::move(reader_));
}

Result<LogReaderPool::Lease> LogReaderPool::acquire(std::string_view path) {
  {
    std::lock_guard lock(mu_);
    // Readers of a store that was removed or replaced are of no further use.
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (it->path != path) continue;
      if (it->reader->stillAt(path)) {
        auto reader = std::move(it->reader);
        idle_.erase(std::next(it).base());
        return Lease(this, std::string(path), std::move(reader));
      }
    }
    std::erase_if(idle_, [&](const Idle& i) { return i.path == path; });
  }
  auto reader = LogReader::open(path);
  if (!reader) return reader.error();
  return Lease(this, std::string(path), std::make_unique<LogReader>(std::move(reader).value()));
}

void LogReaderPool::release(std::string path, std::unique_ptr<LogReader> reader) {
  std::unique_ptr<LogReader> dropped;  // closed outside the lock
  std::lock_guard lock(mu_);
  if (maxIdle_ == 0) return;
  if (idle_.size() >= maxIdle_) {
    dropped = std::move(idle_.front().reader);
    idle_.erase(idle_.begin());
  }
  idle_.push_back({std::move(path), std::move(reader)});
}

LogReaderPool& LogReaderPool::shared() {
  static LogReaderPool pool;
  return pool;
}

}  // namespace tamsel::log
