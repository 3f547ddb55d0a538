#include "logs/fetch_helper_logs_since_iso.h"

#include <optional>
#include <utility>

#include "logs/log_level_names.h"
#include "logs/log_timestamp.h"
#include "platform/identity.h"
#include "platform/ipc/wire_format.h"
#include "platform/json_string.h"
#include "platform/log/log_reader.h"

namespace tamsel {
namespace {

constexpr std::string_view kReadFailure = "failed to read helper logs: ";
// The reply travels in one frame: a page ends before its text would pass this, which leaves
// room for the frame's other values. (A line is at most a few hundred KiB: messages come from
// requests, which are at most 64 KiB.)
constexpr std::size_t kMaxTextBytes = ipc::wire::kMaxReplyBody - 4096;
// A larger scratch buffer (from unusually long messages) is given back after the call.
constexpr std::size_t kScratchKept = std::size_t{1} << 20;

// Appends the entry's line to text (after a "\n" unless it is the first), or leaves text as it
// was when the entry cannot be exported.
bool appendLine(std::string& text, const log::StoredEntry& entry, LogTime since) {
  const TimestampFormatter& formatter = fractionalTimestampFormatter();
  char ts[TimestampFormatter::kMaxLength];
  const std::string_view tsText(
      ts, formatter.format(LogTime(std::chrono::nanoseconds(entry.time)), ts));
  // Compared at the precision of ts: an entry in the same millisecond as since is not newer.
  const std::optional<LogTime> t = parseLogTimestamp(tsText);
  if (!t || *t <= since) return false;

  const std::size_t start = text.size();
  if (start != 0) text += '\n';
  text += "{\"ts\":\"";
  text += tsText;  // digits, '-', ':', '.', 'T', 'Z': nothing to escape
  text += "\",\"level\":\"";
  text += logLevelName(entry.level);
  text += "\",\"message\":";
  if (!appendJsonString(text, entry.message)) {
    text.resize(start);
    return false;
  }
  text += '}';
  return true;
}

LogsReply exportSince(std::string_view storePath, const std::string& since) {
  const std::optional<LogTime> sinceTime = parseLogTimestamp(since);
  if (!sinceTime) return {std::string(), std::nullopt, 0};

  auto reader = log::LogReaderPool::shared().acquire(storePath);
  if (!reader) return {std::nullopt, std::string(kReadFailure) + reader.error().description, 0};

  // The text is built in a buffer the thread keeps: growing a fresh string page by page costs
  // more than the query. The reply gets one exact-size copy.
  thread_local std::string scratch;
  scratch.clear();
  std::size_t lines = 0;
  const Status status = (*reader)->forEachSince(
      kHelperIdentifier, sinceTime->time_since_epoch().count(), [&](const log::StoredEntry& e) {
        const std::size_t before = scratch.size();
        if (!appendLine(scratch, e, *sinceTime)) return true;
        if (scratch.size() > kMaxTextBytes) {  // left for the next page
          scratch.resize(before);
          return false;
        }
        return ++lines < maxExportedEntries;
      });
  LogsReply reply{std::string(scratch), std::nullopt, 0};
  if (scratch.capacity() > kScratchKept) std::string().swap(scratch);
  if (!status) return {std::nullopt, std::string(kReadFailure) + status.error().description, 0};
  return reply;
}

}  // namespace

LogsReply fetchHelperLogsSinceISOFromStore(std::string_view storePath, const std::string& since) {
  try {
    return exportSince(storePath, since);
  } catch (...) {  // only allocation can throw here
    return {std::nullopt, std::string(kReadFailure) + "out of memory", 0};
  }
}

LogsReply fetchHelperLogsSinceISO(const std::string& since) {
  return fetchHelperLogsSinceISOFromStore(kLogStorePath, since);
}

}  // namespace tamsel
