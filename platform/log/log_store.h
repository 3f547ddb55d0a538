// The platform's log store: an embedded SQLite database that keeps every entry written through a
// Logger (time, level, subsystem, category, composed message), bounded in entries and bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/log/logger.h"
#include "platform/result.h"

namespace tamsel::log {

inline constexpr std::size_t kMaxStoredEntries = 1'000'000;
inline constexpr std::uint64_t kMaxStoreBytes = std::uint64_t{512} << 20;

struct LogStoreLimits {
  // At most this many entries are kept; past it the oldest are deleted, pruneBatch at a time
  // (0: one hundredth of maxEntries), so pruning runs once per pruneBatch entries written.
  std::size_t maxEntries = kMaxStoredEntries;
  std::size_t pruneBatch = 0;
  // When the pages in use pass this, the oldest entries are deleted until they do not.
  std::uint64_t maxBytes = kMaxStoreBytes;
};

// Times are kept as integer nanoseconds since the Unix epoch (UTC).
std::int64_t toStoreTime(std::chrono::system_clock::time_point time);

class LogStore final : public Sink {
 public:
  // Creates the parent directory (0755) and the database file (0600) when missing. Refuses a
  // parent directory that another user owns or that others may write to, and a symlink.
  static Result<std::shared_ptr<LogStore>> open(std::string_view path, LogStoreLimits limits = {});

  ~LogStore() override;
  LogStore(const LogStore&) = delete;
  LogStore& operator=(const LogStore&) = delete;

  // Thread-safe. When it returns the entry is committed and visible to every reader. Writers
  // that arrive together share one transaction. A failed write is reported once on standard
  // error (again only after a write has succeeded since); the entry is then lost.
  void write(const Entry& entry) override;

  struct Impl;

 private:
  explicit LogStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tamsel::log
