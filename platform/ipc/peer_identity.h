// Who is on the other end: a live process, pinned while it is identified, and the executable file
// it runs, both established from what the kernel stamped, never from what the peer says.
// Identification never waits on a file system a user serves: the executable is looked at with
// statx(AT_STATX_DONT_SYNC), and refused unless it lies on a mount of the system's (mount_table.h)
// that no user serves, belongs to root, is written by root alone and is small enough to hash; then
// the running image is checked (running_image.h). Only then may its contents be read.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <unordered_map>

#include "platform/ipc/mount_table.h"
#include "platform/ipc/running_image.h"
#include "platform/ipc/socket_io.h"
#include "platform/result.h"
#include "platform/unique_fd.h"

namespace tamsel::ipc {

// The largest executable a peer may run. Signed clients are a few MiB; 64 MiB leaves an order of
// magnitude of room and caps one cold check at well under a second of hashing.
inline constexpr std::int64_t kMaxExecutableBytes = std::int64_t{64} << 20;

// Identifies an executable file's contents as far as metadata can: any write changes ctime. The
// mount is part of it, so that equal numbers on another mount name another file.
struct ExecutableKey {
  std::uint64_t mountId = 0;
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

class PeerIdentifier {
 public:
  // systemMountTable: where the system's mounts are listed (tests pass a table of their own).
  explicit PeerIdentifier(const char* systemMountTable = "/proc/1/mountinfo");

  // The process that connected the accepted socket fd, with the credentials it connected with,
  // in two steps. The first never waits: the process pinned by SO_PEERPIDFD (or, when the kernel
  // lacks it or useFallback is set, pidfd_open of the stamped pid), its executable, and whether
  // its running image is known good already (root's, or checked before). The second checks the
  // image if it is not, which may take a while.
  struct Connecting {
    PeerProcess peer;
    UniqueFd pidfd;
    std::uint64_t process = 0;  // the pidfd's inode, where that names the process; else 0
    bool imageChecked = false;
  };
  Result<Connecting> connecting(int fd, const sock::SenderStamp& connected, bool useFallback);
  Result<PeerProcess> connected(Connecting c);
  // The process behind a pidfd the kernel stamped on received bytes.
  Result<PeerProcess> sender(UniqueFd pidfd);
  // An identified process again (after an exec), through its /proc directory, which still names
  // that very process.
  Result<PeerProcess> again(std::int32_t pid, UniqueFd procDir);

 private:
  // A connecting process whose running image passed, remembered while its memory is still the
  // one checked: its /proc/PID/pagemap, opened before the check, reads nothing once the process
  // has exec'd or exited. Until then only the process itself (it is not dumpable) or root can
  // have changed that memory, so its next connections need no second look.
  struct CheckedImage {
    UniqueFd memory;
    ExecutableKey exe;
    std::uint32_t euid = 0;
    std::list<std::uint64_t>::iterator byUser;
  };

  // The executable and the running image of the process behind procDir; its ids from its status.
  Result<PeerProcess> examine(std::int32_t pid, UniqueFd procDir);
  bool stillChecked(std::uint64_t process, const ExecutableKey& exe, std::uint32_t euid);
  void rememberChecked(std::uint64_t process, UniqueFd memory, const ExecutableKey& exe,
                       std::uint32_t euid);

  MountTable systemMounts_;                       // where clients' executables must lie
  MountTable ownMounts_{"/proc/self/mountinfo"};  // where the daemon finds their libraries
  const UserNamespace ownUserNs_;
  const bool pidfdsNameProcesses_;  // a pidfd's inode number is its process's alone
  std::mutex imagesMutex_;
  std::unordered_map<std::uint64_t, CheckedImage> images_;                    // by pidfd inode
  std::unordered_map<std::uint32_t, std::list<std::uint64_t>> imagesByUser_;  // newest first
};

// True while the process behind pidfd has not exited.
bool processAlive(int pidfd);

// What an identified process runs now. One system call, which never waits on a file system.
enum class ExecutableNow {
  kSame,     // alive, running the file it was identified with
  kChanged,  // alive, but it has exec'd another file since
  kGone,     // exited: its pid may name someone else by now
};
ExecutableNow executableNow(const PeerProcess& process);

// Whether the open file fd is still the executable key describes.
bool isExecutable(int fd, const ExecutableKey& key);

// The executable the process runs, opened through its /proc directory for checking its
// signature; nothing when it is no longer the file the process was identified with.
UniqueFd openIdentifiedExecutable(const PeerProcess& process);

}  // namespace tamsel::ipc
