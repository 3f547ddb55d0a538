// The running image of a peer, as opposed to the file it was started from. A signature covers
// the file; the checks here refuse a process whose memory someone else may have changed since
// it started, or that loaded code no signature covers. They read only /proc and look at files
// without waiting on any file system a user serves. Run once per connecting process and per
// writer, never per message.
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

// Refuses a process that
//   - is traced;
//   - runs in another user namespace than ours (there its owner holds every capability over it);
//   - may still be inspected by its own user (dumpable), unless it runs as root;
//   - has executable memory that is anonymous, or maps a file not owned by root, writable by
//     group or others, deleted, or on a mount that is not ours or is user-served.
// ownUserNs: the device and inode of our own user namespace.
Status checkRunningImage(int procDir, const ProcessStatus& status, const Mounts& mounts,
                         std::uint64_t ownUserNsDev, std::uint64_t ownUserNsIno);

// Whether a file with this owner and mode may hold code we run for a peer: root's, written by
// root alone.
bool trustedOwnerAndMode(std::uint32_t uid, std::uint32_t mode);

}  // namespace tamsel::ipc
