#include "platform/ipc/peer_identity.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/ipc/linux_socket_constants.h"

namespace tamsel::ipc {
namespace {

Error refused(std::string_view why) {
  return Error{EPERM, "peer identity: " + std::string(why)};
}

ExecutableKey keyOf(const struct stat& st) {
  return ExecutableKey{static_cast<std::uint64_t>(st.st_dev),
                       static_cast<std::uint64_t>(st.st_ino),
                       static_cast<std::int64_t>(st.st_size),
                       st.st_ctim.tv_sec,
                       st.st_ctim.tv_nsec,
                       st.st_mtim.tv_sec,
                       st.st_mtim.tv_nsec};
}

UniqueFd pidfdOpen(std::int32_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

UniqueFd openProcDir(std::int32_t pid) {
  char path[32];
  std::snprintf(path, sizeof(path), "/proc/%d", pid);
  return UniqueFd(::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Takes the identity of the executable of pid, through its /proc directory, while pidfd proves
// that pid names the pinned process: the pidfd is checked after the directory is opened and
// the executable looked at, so the process was alive all along and the number could not have
// passed to anyone else in between.
Result<PeerProcess> pinProcess(std::int32_t pid, const UniqueFd& pidfd, UniqueFd procDir,
                               std::uint32_t euid, std::uint32_t egid) {
  if (!procDir) return refused("process went away");
  struct stat st {};
  if (::fstatat(procDir.get(), "exe", &st, 0) != 0) return refused("cannot look at the executable");
  if (!S_ISREG(st.st_mode)) return refused("executable is not a regular file");
  if (!processAlive(pidfd.get())) return refused("process went away");
  PeerProcess out;
  out.pid = pid;
  out.euid = euid;
  out.egid = egid;
  out.procDir = std::move(procDir);
  out.exe = keyOf(st);
  return out;
}

// The second (effective) field of a "Uid:" or "Gid:" line of /proc/PID/status.
bool effectiveId(std::string_view status, std::string_view label, std::uint32_t& out) {
  const std::size_t at = status.find(label);
  if (at == std::string_view::npos) return false;
  std::string_view rest = status.substr(at + label.size());
  for (int field = 0; field < 2; ++field) {
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (ec != std::errc()) return false;
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    out = value;
  }
  return true;
}

}  // namespace

std::size_t ExecutableKeyHash::operator()(const ExecutableKey& k) const {
  std::size_t h = std::hash<std::uint64_t>{}(k.inode);
  auto mix = [&h](std::uint64_t v) {
    h ^= std::hash<std::uint64_t>{}(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  };
  mix(k.device);
  mix(static_cast<std::uint64_t>(k.size));
  mix(static_cast<std::uint64_t>(k.ctimeNsec));
  mix(static_cast<std::uint64_t>(k.mtimeNsec));
  return h;
}

bool processAlive(int pidfd) {
  if (pidfd < 0) return false;
  struct pollfd p {
    pidfd, POLLIN, 0
  };
  int n;
  do {
    n = ::poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  // A pidfd becomes readable when its process exits.
  return n == 0;
}

Result<PeerProcess> identifySocketPeer(int fd, bool useFallback) {
  struct ucred cred {};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred)) {
    return refused("no peer credentials");
  }
  if (cred.pid <= 0) return refused("peer outside our pid namespace");
  UniqueFd pidfd;
  if (!useFallback) {
    int raw = -1;
    socklen_t rawLen = sizeof(raw);
    if (::getsockopt(fd, SOL_SOCKET, kSoPeerPidfd, &raw, &rawLen) == 0) {
      pidfd.reset(raw);
    } else if (errno != ENOPROTOOPT && errno != EINVAL) {
      // The kernel knows the option but could not pin the peer: it is gone.
      return refused("no peer pidfd");
    }
  }
  if (!pidfd) pidfd = pidfdOpen(cred.pid);
  if (!pidfd) return refused("process went away");
  return pinProcess(cred.pid, pidfd, openProcDir(cred.pid), cred.uid, cred.gid);
}

// Effective ids from the status file in a /proc directory.
Status readEffectiveIds(int procDir, std::uint32_t& euid, std::uint32_t& egid) {
  UniqueFd status(::openat(procDir, "status", O_RDONLY | O_CLOEXEC));
  if (!status) return refused("cannot read the process status");
  char buf[4096];
  ssize_t n;
  do {
    n = ::read(status.get(), buf, sizeof(buf));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return refused("cannot read the process status");
  const std::string_view text(buf, static_cast<std::size_t>(n));
  if (!effectiveId(text, "\nUid:", euid) || !effectiveId(text, "\nGid:", egid)) {
    return refused("unreadable process status");
  }
  return {};
}

Result<PeerProcess> identifySender(std::int32_t pid, UniqueFd pidfd) {
  if (pid <= 0) return refused("sender outside our pid namespace");
  if (!pidfd) pidfd = pidfdOpen(pid);
  if (!pidfd) return refused("sender went away");
  UniqueFd procDir = openProcDir(pid);
  if (!procDir) return refused("sender went away");
  std::uint32_t euid = 0, egid = 0;
  if (auto st = readEffectiveIds(procDir.get(), euid, egid); !st) return st.error();
  // The pidfd is checked after every read, which covers the status too.
  return pinProcess(pid, pidfd, std::move(procDir), euid, egid);
}

Result<PeerProcess> reidentify(const PeerProcess& process) {
  UniqueFd procDir(::fcntl(process.procDir.get(), F_DUPFD_CLOEXEC, 0));
  if (!procDir) return refused("cannot duplicate the process directory");
  std::uint32_t euid = 0, egid = 0;
  if (auto st = readEffectiveIds(procDir.get(), euid, egid); !st) return st.error();
  struct stat st {};
  if (::fstatat(procDir.get(), "exe", &st, 0) != 0) return refused("cannot look at the executable");
  if (!S_ISREG(st.st_mode)) return refused("executable is not a regular file");
  PeerProcess out;
  out.pid = process.pid;
  out.euid = euid;
  out.egid = egid;
  out.procDir = std::move(procDir);
  out.exe = keyOf(st);
  return out;
}

UniqueFd openIdentifiedExecutable(const PeerProcess& process) {
  UniqueFd exe(::openat(process.procDir.get(), "exe", O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (!exe || ::fstat(exe.get(), &st) != 0 || !(keyOf(st) == process.exe)) return {};
  return exe;
}

ExecutableNow executableNow(const PeerProcess& process) {
  struct stat st {};
  if (::fstatat(process.procDir.get(), "exe", &st, 0) != 0) return ExecutableNow::kGone;
  return keyOf(st) == process.exe ? ExecutableNow::kSame : ExecutableNow::kChanged;
}

}  // namespace tamsel::ipc
