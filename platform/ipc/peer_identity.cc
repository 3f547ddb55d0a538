#include "platform/ipc/peer_identity.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include "platform/ipc/poll_one.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/ipc/linux_socket_constants.h"
namespace tamsel::ipc {
namespace {

Error refused(std::string_view why) {
  return Error{EPERM, "peer identity: " + std::string(why)};
}

constexpr unsigned kStatxWanted = STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO | STATX_SIZE |
                                  STATX_CTIME | STATX_MTIME | STATX_MNT_ID;

// The executable as the kernel last knew it: never asks the file system that holds it.
bool statExecutable(int dirFd, const char* name, int flags, struct statx& sx) {
  return ::statx(dirFd, name, flags | AT_STATX_DONT_SYNC, kStatxWanted, &sx) == 0 &&
         (sx.stx_mask & STATX_MNT_ID) != 0;
}

ExecutableKey keyOf(const struct statx& sx) {
  return ExecutableKey{
      sx.stx_mnt_id,       static_cast<std::uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor)),
      sx.stx_ino,          static_cast<std::int64_t>(sx.stx_size),
      sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec,
      sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
}

// What may be read and hashed: a regular file of root's, on a mount of ours no user serves,
// small enough. Decided from metadata alone.
Status checkExecutableFile(const struct statx& sx, const Mounts& mounts) {
  if (!S_ISREG(sx.stx_mode)) return refused("executable is not a regular file");
  const auto mount = mounts.byId(sx.stx_mnt_id);
  if (!mount) return refused("executable on a mount that is not ours");
  if (mount->userServed) return refused("executable on a user-served file system");
  if (!trustedOwnerAndMode(sx.stx_uid, sx.stx_mode)) {
    return refused("executable not written by root alone");
  }
  if (sx.stx_size > static_cast<std::uint64_t>(kMaxExecutableBytes)) {
    return refused("executable too large");
  }
  return {};
}

// The executable the process behind procDir runs, if it may be read and hashed at all.
Result<ExecutableKey> examineExecutable(int procDir, const Mounts& mounts) {
  struct statx sx {};
  if (!statExecutable(procDir, "exe", 0, sx)) return refused("cannot look at the executable");
  if (auto st = checkExecutableFile(sx, mounts); !st) return st.error();
  return keyOf(sx);
}

// A number that names the process behind a pidfd for as long as the system runs: the inode of
// the pidfd, where pidfds live on their own file system (Linux 6.9); nothing elsewhere.
constexpr long kPidfsMagic = 0x50494446;

bool pidfdsNameProcesses() {
  UniqueFd self(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
  struct statfs fs {};
  return self && ::fstatfs(self.get(), &fs) == 0 && fs.f_type == kPidfsMagic;
}

// Checked images kept per user; past this, the user's oldest goes.
constexpr std::size_t kMaxCheckedImagesPerUser = 32;

UniqueFd pidfdOpen(std::int32_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

UniqueFd openProcDir(std::int32_t pid) {
  char path[32];
  std::snprintf(path, sizeof(path), "/proc/%d", pid);
  return UniqueFd(::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// The pid (in our namespace) of the process behind a pidfd: the "Pid:" line of its fdinfo.
std::int32_t pidOfPidfd(int pidfd) {
  char path[48];
  std::snprintf(path, sizeof(path), "/proc/self/fdinfo/%d", pidfd);
  UniqueFd info(::open(path, O_RDONLY | O_CLOEXEC));
  if (!info) return 0;
  char buf[512];
  const ssize_t n = ::read(info.get(), buf, sizeof(buf) - 1);
  if (n <= 0) return 0;
  std::string_view text(buf, static_cast<std::size_t>(n));
  const std::size_t at = text.find("\nPid:");
  if (at == std::string_view::npos) return 0;
  text.remove_prefix(at + 5);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::int32_t pid = 0;
  std::from_chars(text.data(), text.data() + text.size(), pid);
  return pid;
}

}  // namespace

std::size_t ExecutableKeyHash::operator()(const ExecutableKey& k) const {
  std::size_t h = std::hash<std::uint64_t>{}(k.inode);
  auto mix = [&h](std::uint64_t v) {
    h ^= std::hash<std::uint64_t>{}(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  };
  mix(k.mountId);
  mix(k.device);
  mix(static_cast<std::uint64_t>(k.size));
  mix(static_cast<std::uint64_t>(k.ctimeNsec));
  mix(static_cast<std::uint64_t>(k.mtimeNsec));
  return h;
}

PeerIdentifier::PeerIdentifier(const char* systemMountTable)
    : systemMounts_(systemMountTable),
      ownUserNs_(ownUserNamespace()),
      pidfdsNameProcesses_(pidfdsNameProcesses()) {}

bool processAlive(int pidfd) {
  if (pidfd < 0) return false;
  // A pidfd becomes readable when its process exits.
  return pollOne(pidfd, POLLIN, 0) == 0;
}

Result<PeerProcess> PeerIdentifier::examine(std::int32_t pid, UniqueFd procDir) {
  if (!procDir) return refused("process went away");
  auto exe = examineExecutable(procDir.get(), *systemMounts_.current());
  if (!exe) return exe.error();
  auto status = readProcessStatus(procDir.get());
  if (!status) return status.error();
  if (auto st = checkRunningImage(procDir.get(), *status, *ownMounts_.current(), ownUserNs_); !st) {
    return refused(st.error().description);
  }
  PeerProcess out;
  out.pid = pid;
  out.euid = status->euid;
  out.egid = status->egid;
  out.procDir = std::move(procDir);
  out.exe = *exe;
  return out;
}

namespace {

// A read of one byte of /proc/PID/pagemap, which must come in whole entries, fails with EINVAL
// while the memory the descriptor was opened on is still its process's, and reads nothing once
// that memory is gone (the process exec'd or exited). It takes no lock of the process's.
bool memoryStillInUse(int pagemap) {
  char byte;
  return ::pread(pagemap, &byte, 1, 0) < 0 && errno == EINVAL;
}

}  // namespace

bool PeerIdentifier::stillChecked(std::uint64_t process, const ExecutableKey& exe,
                                  std::uint32_t euid) {
  std::lock_guard lock(imagesMutex_);
  auto it = images_.find(process);
  if (it == images_.end()) return false;
  if (memoryStillInUse(it->second.memory.get()) && it->second.exe == exe &&
      it->second.euid == euid) {
    return true;
  }
  imagesByUser_[it->second.euid].erase(it->second.byUser);
  images_.erase(it);
  return false;
}

void PeerIdentifier::rememberChecked(std::uint64_t process, UniqueFd memory,
                                     const ExecutableKey& exe, std::uint32_t euid) {
  std::lock_guard lock(imagesMutex_);
  if (images_.contains(process)) return;
  auto& mine = imagesByUser_[euid];
  // Forget the user's processes that are gone, then the oldest beyond the bound.
  for (auto it = mine.begin(); it != mine.end();) {
    auto entry = images_.find(*it);
    if (memoryStillInUse(entry->second.memory.get())) {
      ++it;
    } else {
      images_.erase(entry);
      it = mine.erase(it);
    }
  }
  if (mine.size() >= kMaxCheckedImagesPerUser) {
    images_.erase(mine.back());
    mine.pop_back();
  }
  mine.push_front(process);
  images_.emplace(process, CheckedImage{std::move(memory), exe, euid, mine.begin()});
}

Result<PeerIdentifier::Connecting> PeerIdentifier::connecting(int fd, const sock::SenderStamp& cred,
                                                              bool useFallback) {
  if (cred.pid <= 0) return refused("peer outside our pid namespace");
  Connecting c;
  if (!useFallback) {
    int raw = -1;
    socklen_t rawLen = sizeof(raw);
    if (::getsockopt(fd, SOL_SOCKET, kSoPeerPidfd, &raw, &rawLen) == 0) {
      c.pidfd.reset(raw);
    } else if (errno != ENOPROTOOPT && errno != EINVAL) {
      // The kernel knows the option but could not pin the peer: it is gone, or we are out of
      // descriptors (the code says which).
      return Error::fromErrno(errno, "peer identity: no peer pidfd");
    }
  }
  if (!c.pidfd) c.pidfd = pidfdOpen(cred.pid);
  if (!c.pidfd) return Error::fromErrno(errno, "peer identity: no pidfd");
  c.peer.pid = cred.pid;
  c.peer.euid = cred.uid;
  c.peer.egid = cred.gid;
  c.peer.procDir = openProcDir(cred.pid);
  if (!c.peer.procDir) return Error::fromErrno(errno, "peer identity: no /proc directory");
  auto exe = examineExecutable(c.peer.procDir.get(), *systemMounts_.current());
  if (!exe) return exe.error();
  c.peer.exe = *exe;
  // Root's processes can be changed by root alone: their images need no look.
  struct stat self {};
  c.process = pidfdsNameProcesses_ && ::fstat(c.pidfd.get(), &self) == 0 ? self.st_ino : 0;
  c.imageChecked = cred.uid == 0 || (c.process != 0 && stillChecked(c.process, *exe, cred.uid));
  return c;
}

Result<PeerProcess> PeerIdentifier::connected(Connecting c) {
  // Closed on return (a parameter may live until the caller's statement ends).
  const UniqueFd pidfd = std::move(c.pidfd);
  if (!c.imageChecked) {
    UniqueFd memory(::openat(c.peer.procDir.get(), "pagemap", O_RDONLY | O_CLOEXEC));
    auto status = readProcessStatus(c.peer.procDir.get());
    if (!status) return status.error();
    if (auto st =
            checkRunningImage(c.peer.procDir.get(), *status, *ownMounts_.current(), ownUserNs_);
        !st) {
      return refused(st.error().description);
    }
    if (c.process != 0 && memory && status->euid == c.peer.euid) {
      rememberChecked(c.process, std::move(memory), c.peer.exe, c.peer.euid);
    }
  }
  // Checked after every read through the pid: the process was alive all along, so the number
  // could not have passed to anyone else in between.
  if (!processAlive(pidfd.get())) return refused("process went away");
  return std::move(c.peer);
}

Result<PeerProcess> PeerIdentifier::sender(UniqueFd pidfd) {
  if (!pidfd) return refused("sender went away");
  const std::int32_t pid = pidOfPidfd(pidfd.get());
  if (pid <= 0) return refused("sender went away or lives outside our pid namespace");
  auto peer = examine(pid, openProcDir(pid));
  if (peer && !processAlive(pidfd.get())) return refused("sender went away");
  return peer;
}

Result<PeerProcess> PeerIdentifier::again(std::int32_t pid, UniqueFd procDir) {
  return examine(pid, std::move(procDir));
}

bool isExecutable(int fd, const ExecutableKey& key) {
  struct statx sx {};
  return statExecutable(fd, "", AT_EMPTY_PATH, sx) && keyOf(sx) == key;
}

UniqueFd openIdentifiedExecutable(const PeerProcess& process) {
  UniqueFd exe(::openat(process.procDir.get(), "exe", O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!exe || !isExecutable(exe.get(), process.exe)) return {};
  return exe;
}

ExecutableNow executableNow(const PeerProcess& process) {
  struct statx sx {};
  if (!statExecutable(process.procDir.get(), "exe", 0, sx)) return ExecutableNow::kGone;
  return keyOf(sx) == process.exe ? ExecutableNow::kSame : ExecutableNow::kChanged;
}

}  // namespace tamsel::ipc
