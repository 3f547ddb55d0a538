// Reading the log store back, for the helper's log export.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tamsel::log {

// One stored entry; the views are valid only during the callback that receives it.
struct StoredEntry {
  std::int64_t time = 0;  // nanoseconds since the Unix epoch, UTC
  int level = 0;          // as stored; any value may appear in a store written by others
  std::string_view category;
  std::string_view message;
};

// One read-only connection to a store. Used by one thread at a time.
class LogReader {
 public:
  // Opens an existing store read-only (never creates one). A missing file is an Error with a
  // description; so is, at the first read, a file that is not a database or has no entries.
  static Result<LogReader> open(std::string_view path);

  // Calls visit for every entry of subsystem (exact match) with time >= since, oldest first
  // (ties in write order), until visit returns false or the entries run out. A failure while
  // reading is an Error; entries already visited stay visited. Sees every entry committed
  // before the call.
  Status forEachSince(std::string_view subsystem, std::int64_t since,
                      const std::function<bool(const StoredEntry&)>& visit);

  // Whether path still names the file this reader opened (false when it could not tell).
  bool stillAt(std::string_view path) const;

 private:
  struct Close {
    void operator()(sqlite3* db) const;
  };
  struct Finalize {
    void operator()(sqlite3_stmt* stmt) const;
  };
  LogReader() = default;

  std::unique_ptr<sqlite3, Close> db_;
  std::unique_ptr<sqlite3_stmt, Finalize> query_;  // prepared at the first read, then kept
  std::uint64_t device_ = 0, inode_ = 0;
  bool identified_ = false;
};

// Keeps a few readers open between calls, so that repeated exports find SQLite's page cache
// warm instead of paying for a fresh connection (about 10x the query itself). Thread-safe; a
// reader is lent to one caller at a time. Before lending one, it checks that the path still
// names the file the reader has open: a removed or replaced store is opened afresh (and fails
// as a fresh open would).
class LogReaderPool {
 public:
  class Lease {
   public:
    Lease(Lease&&) noexcept = default;
    Lease& operator=(Lease&&) noexcept = delete;
    ~Lease();
    LogReader& operator*() { return *reader_; }
    LogReader* operator->() { return reader_.get(); }

   private:
    friend class LogReaderPool;
    Lease(LogReaderPool* pool, std::string path, std::unique_ptr<LogReader> reader)
        : pool_(pool), path_(std::move(path)), reader_(std::move(reader)) {}
    LogReaderPool* pool_;
    std::string path_;
    std::unique_ptr<LogReader> reader_;
  };

  explicit LogReaderPool(std::size_t maxIdle = 4) : maxIdle_(maxIdle) {}
  Result<Lease> acquire(std::string_view path);

  // The process's pool, used by the export.
  static LogReaderPool& shared();

 private:
  void release(std::string path, std::unique_ptr<LogReader> reader);

  struct Idle {
    std::string path;
    std::unique_ptr<LogReader> reader;
  };
  const std::size_t maxIdle_;
  std::mutex mu_;
  std::vector<Idle> idle_;  // guarded by mu_; most recently returned last
};

}  // namespace tamsel::log
