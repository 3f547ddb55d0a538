// The log store's one table. Shaped for the export's query: one subsystem, from a point in time
// on, oldest first. The index holds (subsystem, time) and, implicitly, the rowid, so that query
// reads the index in order and stops early; the rowid is also the write order.
#pragma once

namespace tamsel::log::detail {

inline constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS entries("
    " id INTEGER PRIMARY KEY,"  // write order; only ever grows, pruning deletes a prefix
    " time INTEGER NOT NULL,"   // nanoseconds since the Unix epoch, UTC
    " level INTEGER NOT NULL,"
    " subsystem TEXT NOT NULL,"
    " category TEXT NOT NULL,"
    " message TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS entries_by_subsystem_time ON entries(subsystem, time);";

// Entries of ?1 with time >= ?2, oldest first; ties in write order.
inline constexpr const char* kEntriesSinceQuery =
    "SELECT time, level, category, message FROM entries"
    " WHERE subsystem = ?1 AND time >= ?2 ORDER BY time, id";

}  // namespace tamsel::log::detail
