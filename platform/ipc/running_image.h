// The running image of a peer, as opposed to the file it was started from. A signature covers
// the file; the checks here refuse a process whose memory someone else may have changed since
// it started, or that runs code no signature covers. They read only /proc and look at files
// without waiting on any file system a user serves.
#pragma once

#include <cstdint>

#include "platform/ipc/mount_table.h"
#include "platform/result.h"

namespace tamsel::ipc {

// What /proc/PID/status says about a process.
struct ProcessStatus {
  std::uint32_t euid = 0;
  std::uint32_t egid = 0;
  std::int32_t tracerPid = 0;
  // Its /proc files belong to its user while that user may inspect it, to root otherwise.
  bool dumpable = false;
};
Result<ProcessStatus> readProcessStatus(int procDir);

// A user namespace, by the device and inode of its /proc/PID/ns/user.
struct UserNamespace {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const UserNamespace&) const = default;
};
UserNamespace ownUserNamespace();

// Refuses a process that is not root and
//   - is traced;
//   - may still be inspected by its own user (dumpable);
//   - runs in another user namespace than ours (there its owner holds every capability over it);
//   - has executable memory that is anonymous, or maps a file not owned by root, writable by
//     group or others, deleted, or on a mount that is not ours or is user-served. ours: the
//     daemon's own mounts, through which it looks the mapped files up by name.
// A root process can be changed only by root, and the loader ignores a user's LD_PRELOAD and its
// kin in a program that gained root by its set-user-id bit: nothing to check.
Status checkRunningImage(int procDir, const ProcessStatus& status, const Mounts& mounts,
                         const UserNamespace& ours);

// Whether a file with this owner and mode may hold code we run for a peer: root's, written by
// root alone.
bool trustedOwnerAndMode(std::uint32_t uid, std::uint32_t mode);

}  // namespace tamsel::ipc
