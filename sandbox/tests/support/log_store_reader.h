// The daemon's entries in its log store, read as the export reads them. Tests take a mark before
// an action and then ask exactly which entries the action produced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamsel::systemtest {

struct StoredEntry {
  int level = 0;
  std::string message;
};

class LogStoreReader {
 public:
  // Now, as the store's times count.
  std::int64_t mark() const;

  // The daemon's entries stored at or after mark, oldest first. Throws std::runtime_error when
  // the store cannot be read (a test must not mistake that for "no entries").
  std::vector<StoredEntry> entriesAfter(std::int64_t mark) const;
};

// "level: message" lines, for failure messages.
std::string describe(const std::vector<StoredEntry>& entries);

}  // namespace tamsel::systemtest
