#include "platform/ipc/running_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tamsel::ipc {
namespace {

Error refused(std::string_view why) {
  return Error{EPERM, "running image: " + std::string(why)};
}

// A whole /proc file: generated on read, it never waits on a file system.
bool readAll(int fd, std::string& out) {
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

template <typename T>
bool number(std::string_view text, T& out, int base = 10) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string_view skipBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view word(std::string_view& s) {
  s = skipBlanks(s);
  const std::size_t end = s.find_first_of(" \t");
  const std::string_view w = s.substr(0, end);
  s.remove_prefix(end == std::string_view::npos ? s.size() : end);
  return w;
}

// The field-th number after "Label:" in a status text.
bool statusField(std::string_view status, std::string_view label, int field, std::uint32_t& out) {
  const std::size_t at = status.find(label);
  if (at == std::string_view::npos) return false;
  std::string_view rest = status.substr(at + label.size());
  rest = rest.substr(0, rest.find('\n'));
  for (int i = 0; i <= field; ++i) {
    if (!number(word(rest), out)) return false;
  }
  return true;
}

// One line of /proc/PID/maps: "start-end perms offset major:minor inode name".
Status checkMapping(std::string_view line, const Mounts& mounts) {
  word(line);  // addresses
  const std::string_view perms = word(line);
  if (perms.size() < 3 || perms[2] != 'x') return {};
  word(line);  // offset
  const std::string_view device = word(line);
  const std::size_t colon = device.find(':');
  std::uint32_t major = 0, minor = 0;
  std::uint64_t inode = 0;
  if (colon == std::string_view::npos || !number(device.substr(0, colon), major, 16) ||
      !number(device.substr(colon + 1), minor, 16) || !number(word(line), inode)) {
    return refused("unreadable memory map");
  }
  const std::string_view name = skipBlanks(line);
  // The kernel's own code pages: the vDSO, and the fixed legacy system-call page.
  if (inode == 0 && (name == "[vdso]" || name == "[vsyscall]")) return {};
  if (inode == 0 || !name.starts_with('/')) return refused("anonymous executable memory");
  if (name.ends_with(" (deleted)")) return refused("code from a deleted file");
  // Only a device of ours is looked up by name, so the lookup cannot wait on a user's server.
  if (!mounts.deviceIsOurs(major, minor)) return refused("code from a mount that is not ours");
  const std::string path(name);
  struct statx sx {};
  // The name stands for the mapped file only if it leads to the very inode mapped.
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
              STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO | STATX_MNT_ID, &sx) != 0 ||
      sx.stx_ino != inode || sx.stx_dev_major != major || sx.stx_dev_minor != minor ||
      !mounts.byId(sx.stx_mnt_id)) {
    return refused("mapped file not found");
  }
  if (!trustedOwnerAndMode(sx.stx_uid, sx.stx_mode)) return refused("code from an untrusted file");
  return {};
}

}  // namespace

bool trustedOwnerAndMode(std::uint32_t uid, std::uint32_t mode) {
  return uid == 0 && (mode & (S_IWGRP | S_IWOTH)) == 0;
}

Result<ProcessStatus> readProcessStatus(int procDir) {
  UniqueFd fd(::openat(procDir, "status", O_RDONLY | O_CLOEXEC));
  struct stat st {};
  std::string text;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !readAll(fd.get(), text)) {
    return refused("cannot read the process status");
  }
  ProcessStatus out;
  out.dumpable = st.st_uid != 0;
  std::uint32_t tracer = 0;
  if (!statusField(text, "\nUid:", 1, out.euid) || !statusField(text, "\nGid:", 1, out.egid) ||
      !statusField(text, "\nTracerPid:", 0, tracer)) {
    return refused("unreadable process status");
  }
  out.tracerPid = static_cast<std::int32_t>(tracer);
  return out;
}

UserNamespace ownUserNamespace() {
  struct stat ns {};
  if (::stat("/proc/self/ns/user", &ns) != 0) return {};
  return UserNamespace{ns.st_dev, ns.st_ino};
}

Status checkRunningImage(int procDir, const ProcessStatus& status, const Mounts& mounts,
                         const UserNamespace& ours) {
  if (status.euid == 0) return {};
  if (status.tracerPid != 0) return refused("traced");
  if (status.dumpable) return refused("its user may still inspect it");
  struct stat ns {};
  if (::fstatat(procDir, "ns/user", &ns, 0) != 0 ||
      !(UserNamespace{ns.st_dev, ns.st_ino} == ours)) {
    return refused("in another user namespace");
  }
  UniqueFd maps(::openat(procDir, "maps", O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!maps || !readAll(maps.get(), text)) return refused("cannot read its memory map");
  for (std::string_view rest(text); !rest.empty();) {
    const std::size_t nl = rest.find('\n');
    if (auto st = checkMapping(rest.substr(0, nl), mounts); !st) return st;
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
  }
  return {};
}

}  // namespace tamsel::ipc
