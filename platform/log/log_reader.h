// Reading the log store back, for the helper's log export.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/result.h"

struct sqlite3;

namespace tamsel::log {

// One stored entry; the views are valid only during the callback that receives it.
struct StoredEntry {
  std::int64_t time = 0;  // nanoseconds since the Unix epoch, UTC
  int level = 0;          // as stored; any value may appear in a store written by others
  std::string_view category;
  std::string_view message;
};

class LogReader {
 public:
  // Opens an existing store read-only. A missing file, a file that is not a database or one
  // without the entries table is an Error with a description.
  static Result<LogReader> open(std::string_view path);

  // Calls visit for every entry of subsystem (exact match) with time >= since, oldest first
  // (ties in write order), until visit returns false or the entries run out. A failure while
  // reading is an Error; entries already visited stay visited.
  Status forEachSince(std::string_view subsystem, std::int64_t since,
                      const std::function<bool(const StoredEntry&)>& visit) const;

 private:
  struct Close {
    void operator()(sqlite3* db) const;
  };
  explicit LogReader(std::unique_ptr<sqlite3, Close> db) : db_(std::move(db)) {}
  std::unique_ptr<sqlite3, Close> db_;
};

}  // namespace tamsel::log
