// fetchHelperLogsSinceISO: the helper's own log entries newer than a point in time, oldest
// first, at most maxExportedEntries, one JSON object {"ts","level","message"} per line. A page
// also ends before its text would not fit one reply frame; the next page, from the last ts,
// goes on from there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "service/reply_shapes.h"

namespace tamsel {

inline constexpr std::size_t maxExportedEntries = 500;

// Never throws, logs nothing:
//  since unparsable                  -> "", no message, 0 (the store is not opened)
//  store cannot be opened or read    -> no text, "failed to read helper logs: " + description, 0
//  otherwise                         -> the lines joined by "\n" (no trailing one), no message, 0
LogsReply fetchHelperLogsSinceISO(const std::string& since);

// The same, reading the store at storePath.
LogsReply fetchHelperLogsSinceISOFromStore(std::string_view storePath, const std::string& since);

}  // namespace tamsel
