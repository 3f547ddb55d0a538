// Reads the daemon's log store as an outside observer would: read-only, straight from SQLite.
// Tests take a mark before an action and then ask exactly which entries the action produced.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel::systemtest {

struct StoredEntry {
  std::int64_t id = 0;
  int level = 0;
  std::string subsystem;
  std::string category;
  std::string message;
};

class LogStoreReader {
 public:
  explicit LogStoreReader(std::string path);

  // The newest entry's id (0 when the store is empty or does not exist yet).
  std::int64_t mark() const;

  // Every entry written after mark, of any subsystem, oldest first. Throws std::runtime_error
  // when the store exists but cannot be read (a test must not mistake that for "no entries").
  std::vector<StoredEntry> entriesAfter(std::int64_t mark) const;

 private:
  std::string path_;
};

// "level subsystem/category: message" lines, for failure messages.
std::string describe(const std::vector<StoredEntry>& entries);

}  // namespace tamsel::systemtest
