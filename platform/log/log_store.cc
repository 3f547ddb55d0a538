#include "platform/log/log_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/echo_sink.h"
#include "platform/log/sqlite_handle.h"
#include "platform/log/store_schema.h"
#include "platform/unique_fd.h"

namespace tamsel::log {
namespace {

using detail::DbHandle;
using detail::StmtHandle;

constexpr int kBusyTimeoutMs = 5000;
constexpr std::int64_t kWalSizeLimit = 16 << 20;
// The pages in use are measured once a sixty-fourth of the bound has been written since the last
// time, and a prune deletes a hundredth of the bound more than the excess, so the store stays
// within a few percent of its bound and prunes once per hundredth written.
constexpr std::uint64_t kCheckShare = 64;
constexpr std::uint64_t kPruneShare = 100;
// What an entry takes beyond its texts: the row and index headers, its time, level and rowid.
constexpr std::uint64_t kEntryOverhead = 40;

std::uint64_t entryBytes(const Entry& e) {
  return e.message.size() + e.category.size() + 2 * e.subsystem.size() + kEntryOverhead;
}

// Creates each missing directory of dir with mode 0755.
Status makeDirectories(const std::string& dir) {
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0755) == 0) {
      if (::chmod(part.c_str(), 0755) != 0) return Error::fromErrno(errno, "chmod " + part);
    } else if (errno != EEXIST) {
      return Error::fromErrno(errno, "cannot create " + part);
    }
  }
  return {};
}

// The directory holding the store must be ours alone: whoever may write there could put a link
// where the database's journal files go.
Status checkDirectory(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return Error::fromErrno(errno, "cannot inspect " + dir);
  if (!S_ISDIR(st.st_mode)) return Error{ENOTDIR, dir + " is not a directory"};
  if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    return Error{EPERM, dir + " is owned by another user"};
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return Error{EPERM, dir + " is writable by other users"};
  }
  return {};
}

// Creates the database file 0600, or narrows an existing one to 0600.
Status prepareFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return Error::fromErrno(errno, "cannot open " + path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Error::fromErrno(errno, "cannot inspect " + path);
  if (!S_ISREG(st.st_mode)) return Error{EINVAL, path + " is not a regular file"};
  if (st.st_uid != ::geteuid()) return Error{EPERM, path + " is owned by another user"};
  if ((st.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0) {
    return Error::fromErrno(errno, "chmod " + path);
  }
  return {};
}

Status exec(sqlite3* db, const char* sql) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return detail::sqliteError(db, rc, "cannot set up log store");
  return {};
}

std::int64_t queryInt(sqlite3_stmt* stmt, std::int64_t fallback) {
  std::int64_t value = fallback;
  if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) != SQLITE_NULL) {
    value = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_reset(stmt);
  return value;
}

}  // namespace

std::int64_t toStoreTime(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

struct LogStore::Impl {
  std::uint64_t maxBytes = 0;
  DbHandle db;
  StmtHandle begin, commit, rollback, insert, oldestFirst, deleteUpTo, pageCount, freePages;

  // Group commit: a writer queues its entry and waits; whichever writer finds no commit running
  // becomes the leader, commits everything queued in one transaction and wakes the others.
  std::mutex mu;
  std::condition_variable committedCv;
  std::vector<const Entry*> pending;  // guarded by mu
  std::uint64_t enqueued = 0;         // guarded by mu
  std::uint64_t committed = 0;        // guarded by mu
  bool leaderBusy = false;            // guarded by mu

  // Used only by the leader.
  std::vector<const Entry*> batch;
  std::uint64_t pageSize = 4096;
  std::uint64_t writtenSinceCheck = 0;  // bytes of entries; starts full so the first commit checks
  bool failureReported = false;

  Status commitBatch();
  Status prune();
  void reportFailure(const Error& error);
};

Result<std::shared_ptr<LogStore>> LogStore::open(std::string_view path, std::uint64_t maxBytes) {
  const std::string file(path);
  const std::size_t slash = file.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : file.substr(0, std::max<std::size_t>(slash, 1));
  if (Status s = makeDirectories(dir); !s) return s.error();
  if (Status s = checkDirectory(dir); !s) return s.error();
  if (Status s = prepareFile(file); !s) return s.error();

  auto impl = std::make_unique<Impl>();
  impl->maxBytes = maxBytes;
  impl->writtenSinceCheck = maxBytes / kCheckShare;

  auto db = detail::openDatabase(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, kBusyTimeoutMs);
  if (!db) return db.error();
  impl->db = std::move(db).value();
  sqlite3* h = impl->db.get();
  if (Status s = exec(h, "PRAGMA journal_mode=WAL"); !s) return s.error();
  if (Status s = exec(h, "PRAGMA synchronous=NORMAL"); !s) return s.error();
  const std::string walLimit = "PRAGMA journal_size_limit=" + std::to_string(kWalSizeLimit);
  if (Status s = exec(h, walLimit.c_str()); !s) return s.error();
  if (Status s = exec(h, detail::kSchema); !s) return s.error();

  struct {
    StmtHandle* stmt;
    const char* sql;
  } const statements[] = {
      {&impl->begin, "BEGIN IMMEDIATE"},
      {&impl->commit, "COMMIT"},
      {&impl->rollback, "ROLLBACK"},
      {&impl->insert,
       "INSERT INTO entries(time, level, subsystem, category, message) VALUES(?1,?2,?3,?4,?5)"},
      {&impl->oldestFirst,
       "SELECT id, length(CAST(message AS BLOB)) + length(CAST(category AS BLOB))"
       " + 2 * length(CAST(subsystem AS BLOB)) FROM entries ORDER BY id"},
      {&impl->deleteUpTo, "DELETE FROM entries WHERE id <= ?1"},
      {&impl->pageCount, "PRAGMA page_count"},
      {&impl->freePages, "PRAGMA freelist_count"},
  };
  for (const auto& s : statements) {
    auto stmt = detail::prepare(h, s.sql);
    if (!stmt) return stmt.error();
    *s.stmt = std::move(stmt).value();
  }
  if (auto size = detail::prepare(h, "PRAGMA page_size"); size) {
    impl->pageSize = static_cast<std::uint64_t>(queryInt(size->get(), 4096));
  }
  impl->pending.reserve(64);
  impl->batch.reserve(64);
  return std::shared_ptr<LogStore>(new LogStore(std::move(impl)));
}

LogStore::LogStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

LogStore::~LogStore() = default;

void LogStore::write(const Entry& entry) {
  Impl& s = *impl_;
  std::unique_lock lock(s.mu);
  s.pending.push_back(&entry);
  const std::uint64_t ticket = ++s.enqueued;
  while (s.committed < ticket) {
    if (s.leaderBusy) {
      s.committedCv.wait(lock);
      continue;
    }
    s.leaderBusy = true;
    s.batch.swap(s.pending);
    const std::uint64_t last = s.enqueued;
    lock.unlock();
    // Whatever happens, the waiters must be released: a commit that throws only loses its batch.
    try {
      Status status = s.commitBatch();
      if (status) {
        s.failureReported = false;
      } else {
        s.reportFailure(status.error());
      }
    } catch (...) {
      if (sqlite3_get_autocommit(s.db.get()) == 0) {
        sqlite3_step(s.rollback.get());
        sqlite3_reset(s.rollback.get());
      }
    }
    s.batch.clear();
    lock.lock();
    s.committed = last;
    s.leaderBusy = false;
    s.committedCv.notify_all();
  }
}

Status LogStore::Impl::commitBatch() {
  sqlite3* h = db.get();
  if (int rc = sqlite3_step(begin.get()); rc != SQLITE_DONE) {
    sqlite3_reset(begin.get());
    return detail::sqliteError(h, rc, "cannot write log store");
  }
  sqlite3_reset(begin.get());
  Status status;
  for (const Entry* e : batch) {
    sqlite3_stmt* st = insert.get();
    sqlite3_bind_int64(st, 1, toStoreTime(e->time));
    sqlite3_bind_int(st, 2, static_cast<int>(e->level));
    sqlite3_bind_text(st, 3, e->subsystem.data(), static_cast<int>(e->subsystem.size()),
                      SQLITE_STATIC);
    sqlite3_bind_text(st, 4, e->category.data(), static_cast<int>(e->category.size()),
                      SQLITE_STATIC);
    sqlite3_bind_text(st, 5, e->message.data(), static_cast<int>(e->message.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc != SQLITE_DONE) {
      status = detail::sqliteError(h, rc, "cannot write log store");
      break;
    }
  }
  if (status) status = prune();
  if (status) {
    const int rc = sqlite3_step(commit.get());
    sqlite3_reset(commit.get());
    if (rc == SQLITE_DONE) return {};
    status = detail::sqliteError(h, rc, "cannot write log store");
  }
  if (sqlite3_get_autocommit(h) == 0) {
    sqlite3_step(rollback.get());
    sqlite3_reset(rollback.get());
  }
  return status;
}

// Runs inside the batch's transaction: when the pages in use pass maxBytes, deletes a prefix of
// the oldest entries whose size covers the excess and a hundredth of the bound more. Rowids only
// grow and only a prefix is ever deleted, so the oldest entries are the lowest rowids. The
// entries of this batch are never deleted: a writer's entry is there when write() returns.
Status LogStore::Impl::prune() {
  for (const Entry* e : batch) writtenSinceCheck += entryBytes(*e);
  if (writtenSinceCheck < maxBytes / kCheckShare) return {};
  writtenSinceCheck = 0;
  sqlite3* h = db.get();
  const auto pages = queryInt(pageCount.get(), 0) - queryInt(freePages.get(), 0);
  const std::uint64_t used =
      static_cast<std::uint64_t>(std::max<std::int64_t>(pages, 0)) * pageSize;
  if (used <= maxBytes) return {};

  const std::uint64_t toFree = used - maxBytes + maxBytes / kPruneShare;
  const std::int64_t firstOfBatch =
      sqlite3_last_insert_rowid(h) - static_cast<std::int64_t>(batch.size()) + 1;
  sqlite3_stmt* walk = oldestFirst.get();
  std::int64_t cutoff = 0;  // delete ids <= cutoff
  std::uint64_t freed = 0;
  int rc = SQLITE_DONE;
  while (freed < toFree && (rc = sqlite3_step(walk)) == SQLITE_ROW) {
    const std::int64_t id = sqlite3_column_int64(walk, 0);
    if (id >= firstOfBatch) break;
    cutoff = id;
    freed += static_cast<std::uint64_t>(sqlite3_column_int64(walk, 1)) + kEntryOverhead;
  }
  sqlite3_reset(walk);
  if (freed < toFree && rc != SQLITE_ROW && rc != SQLITE_DONE) {
    return detail::sqliteError(h, rc, "cannot prune log store");
  }
  if (cutoff == 0) return {};
  sqlite3_stmt* st = deleteUpTo.get();
  sqlite3_bind_int64(st, 1, cutoff);
  rc = sqlite3_step(st);
  sqlite3_reset(st);
  if (rc != SQLITE_DONE) return detail::sqliteError(h, rc, "cannot prune log store");
  return {};
}

void LogStore::Impl::reportFailure(const Error& error) {
  if (failureReported) return;
  failureReported = true;
  EchoSink(2).writeLine("<3>log store: entries are being lost: " + error.description + "\n");
}

}  // namespace tamsel::log
