// tamsel-helperctl status: whether the helper answers (and why not), its version, its socket
// and how it was started, and its log store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/machine_state.h"

namespace tamsel::client::helperctl {

struct StatusFacts {
  std::string socketPath;
  // Read before this program connects: a first connection starts a socket-activated helper.
  ServiceJobs jobsBefore;
  std::optional<std::string> jobsError;
  std::optional<ProcessName> socketCreator;
  bool reachable = false;
  std::string unreachableReason;
  std::optional<std::string> version;
  std::string logStorePath;
  std::optional<std::uint64_t> logStoreBytes;  // the database and its write-ahead log
  std::optional<std::string> oldestEntry;      // the ts of the helper's oldest entry
};

// The facts on this machine, for the helper at socketPath.
StatusFacts gatherStatus(const std::string& socketPath);

// Text ("reachable:   yes" ...) or one JSON object; ends with a line feed.
std::string renderStatus(const StatusFacts& facts, bool json);

// 0 when the helper answered, else 1.
inline int statusExitCode(const StatusFacts& facts) {
  return facts.reachable ? 0 : 1;
}

}  // namespace tamsel::client::helperctl
