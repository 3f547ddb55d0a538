#include "sandbox/tests/support/log_store_reader.h"

#include <chrono>
#include <stdexcept>

#include "platform/identity.h"
#include "platform/log/log_reader.h"

namespace tamsel::systemtest {

std::int64_t LogStoreReader::mark() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::vector<StoredEntry> LogStoreReader::entriesAfter(std::int64_t mark) const {
  Result<log::LogReader> reader = log::LogReader::open(kLogStorePath);
  if (!reader) throw std::runtime_error("log store: " + reader.error().description);
  std::vector<StoredEntry> entries;
  const Status read = reader->forEachSince(kHelperIdentifier, mark, [&](const log::StoredEntry& e) {
    entries.push_back({e.level, std::string(e.message)});
    return true;
  });
  if (!read) throw std::runtime_error("log store: " + read.error().description);
  return entries;
}

std::string describe(const std::vector<StoredEntry>& entries) {
  std::string text;
  for (const StoredEntry& e : entries) text += std::to_string(e.level) + ": " + e.message + "\n";
  return text;
}

}  // namespace tamsel::systemtest
