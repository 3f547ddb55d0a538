// The platform's log store: an embedded SQLite database that keeps every entry written through a
// Logger (time, level, subsystem, category, composed message), bounded in bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/log/logger.h"
#include "platform/result.h"

namespace tamsel::log {

// The store's bound in bytes of database pages in use. Past it the oldest entries are deleted
// (see docs/LOGGING.md for why this size).
inline constexpr std::uint64_t kMaxStoreBytes = std::uint64_t{64} << 20;

// Times are kept as integer nanoseconds since the Unix epoch (UTC).
std::int64_t toStoreTime(std::chrono::system_clock::time_point time);

class LogStore final : public Sink {
 public:
  // Creates the parent directory (0755) and the database file (0600) when missing. Refuses a
  // parent directory that another user owns or that others may write to, and a symlink. Keeps
  // the pages in use at about maxBytes by deleting the oldest entries, never those of the
  // commit that passed it.
  static Result<std::shared_ptr<LogStore>> open(std::string_view path,
                                                std::uint64_t maxBytes = kMaxStoreBytes);

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
