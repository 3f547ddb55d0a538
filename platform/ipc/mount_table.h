// The mounts of a mount namespace, read from its /proc/PID/mountinfo and read again whenever the
// kernel reports that the table changed. Two matter: the system's (that of process 1, where the
// users' sessions run and root mounts file systems), and the daemon's own, which a service
// manager may have made a copy of the system's (copies carry other mount ids). A file on a mount
// neither lists lies in a namespace some user built for herself: nothing about it can be
// trusted, and looking at it may wait on whoever serves that file system.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/unique_fd.h"

namespace tamsel::ipc {

struct MountFacts {
  std::uint32_t devMajor = 0;  // the device of its file system, as /proc/PID/maps shows it
  std::uint32_t devMinor = 0;
  bool userServed = false;  // FUSE: a process, possibly any user's, answers for it
};

// The table at one moment.
class Mounts {
 public:
  // The mount of ours with this id (statx's stx_mnt_id); nothing when we have none.
  std::optional<MountFacts> byId(std::uint64_t mountId) const;
  // Whether some mount of ours has this device and none of those is user-served.
  bool deviceIsOurs(std::uint32_t major, std::uint32_t minor) const;

 private:
  friend class MountTable;
  std::unordered_map<std::uint64_t, MountFacts> byId_;
};

class MountTable {
 public:
  // The table in path (a /proc/PID/mountinfo); the daemon's own when that cannot be read.
  explicit MountTable(const char* path);
  // The table as it is now (one poll when nothing changed). Empty when it cannot be read.
  std::shared_ptr<const Mounts> current();

 private:
  UniqueFd file_;  // polled: the kernel flags it when our namespace's mounts change
  std::mutex mutex_;
  bool stale_ = true;  // changed since last read
  std::shared_ptr<const Mounts> mounts_;
};

}  // namespace tamsel::ipc
