// Who is on the other end: a live process, pinned while it is identified, and the executable file
// it runs, both established from what the kernel stamped, never from what the peer says.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/result.h"
#include "platform/unique_fd.h"

namespace tamsel::ipc {

// Identifies an executable file's contents as far as metadata can: any write changes ctime.
struct ExecutableKey {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t ctimeSec = 0;
  std::int64_t ctimeNsec = 0;
  std::int64_t mtimeSec = 0;
  std::int64_t mtimeNsec = 0;
  bool operator==(const ExecutableKey&) const = default;
};

struct ExecutableKeyHash {
  std::size_t operator()(const ExecutableKey& k) const;
};

struct PeerProcess {
  std::int32_t pid = 0;
  std::uint32_t euid = 0;
  std::uint32_t egid = 0;
  // The process's /proc directory. It stays bound to this very process, not to its pid
  // number: once the process is gone, nothing can be looked up through it.
  UniqueFd procDir;
  ExecutableKey exe;  // what it ran when identified
};

// The process that connected the accepted socket fd: SO_PEERCRED and SO_PEERPIDFD, or, when the
// kernel lacks the latter or useFallback is set, pidfd_open of the stamped pid.
Result<PeerProcess> identifySocketPeer(int fd, bool useFallback);

// The writer of received bytes: its stamped pid and, when the kernel sent one, its pidfd
// (otherwise pidfd_open of the pid). Effective ids are read from /proc.
Result<PeerProcess> identifySender(std::int32_t pid, UniqueFd pidfd);

// True while the process behind pidfd has not exited.
bool processAlive(int pidfd);

// What an identified process runs now. One system call.
enum class ExecutableNow {
  kSame,     // alive, running the file it was identified with
  kChanged,  // alive, but it has exec'd another file since
  kGone,     // exited: its pid may name someone else by now
};
ExecutableNow executableNow(const PeerProcess& process);

// Identifies an already identified process again (after an exec), through its /proc directory,
// which still names that very process.
Result<PeerProcess> reidentify(const PeerProcess& process);

// The executable the process runs, opened through its /proc directory for checking its
// signature; nothing when it is no longer the file the process was identified with.
UniqueFd openIdentifiedExecutable(const PeerProcess& process);

}  // namespace tamsel::ipc
