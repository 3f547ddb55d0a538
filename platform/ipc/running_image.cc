#include "platform/ipc/running_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>

namespace tamsel::ipc {
namespace {

Error refused(std::string_view why) {
  return Error{EPERM, "running image: " + std::string(why)};
}

// Reads a whole /proc file (they are generated on read and never wait on a file system), and
// the file's owner.
bool readProcFile(int procDir, const char* name, std::string& out, std::uint32_t* owner = nullptr) {
  UniqueFd fd(::openat(procDir, name, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  if (owner != nullptr) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return false;
    *owner = st.st_uid;
  }
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof(buf));
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

// The value of "Label:" in a status text: the field-th number after it.
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

// One executable mapping of /proc/PID/maps ("start-end perms offset major:minor inode path").
Status checkMapping(std::string_view line, const Mounts& mounts) {
  word(line);  // addresses
  const std::string_view perms = word(line);
  if (perms.size() < 3 || perms[2] != 'x') return {};
  word(line);  // offset
  const std::string_view device = word(line);
  std::uint64_t inode = 0;
  if (!number(word(line), inode)) return refused("unreadable memory map");
  const std::string_view path = skipBlanks(line);
  // The kernel's own code pages: the vDSO, and the fixed legacy system-call page.
  if (path == "[vdso]" || path == "[vsyscall]") return {};
  if (path.empty() || path.front() != '/') return refused("anonymous executable memory");
  if (path.ends_with(" (deleted)")) return refused("executable mapping of a deleted file");
  const std::size_t colon = device.find(':');
  std::uint32_t major = 0, minor = 0;
  if (colon == std::string_view::npos || !number(device.substr(0, colon), major, 16) ||
      !number(device.substr(colon + 1), minor, 16)) {
    return refused("unreadable memory map");
  }
  // Only a device of ours is looked up by path, so the lookup cannot wait on a user's server.
  if (!mounts.deviceIsOurs(major, minor)) return refused("code from a mount that is not ours");
  struct statx sx {};
  const std::string pathText(path);
  if (::statx(AT_FDCWD, pathText.c_str(), AT_STATX_DONT_SYNC | AT_SYMLINK_NOFOLLOW,
              STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO | STATX_MNT_ID, &sx) != 0) {
    return refused("mapped file not found");
  }
  // The path names the mapped file only if it leads to the very inode mapped.
  if (sx.stx_ino != inode || sx.stx_dev_major != major || sx.stx_dev_minor != minor ||
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
  std::string text;
  std::uint32_t owner = 0;
  if (!readProcFile(procDir, "status", text, &owner)) {
    return refused("cannot read the process status");
  }
  ProcessStatus out;
  out.dumpable = owner != 0;
  std::uint32_t tracer = 0;
  if (!statusField(text, "\nUid:", 1, out.euid) || !statusField(text, "\nGid:", 1, out.egid) ||
      !statusField(text, "\nTracerPid:", 0, tracer)) {
    return refused("unreadable process status");
  }
  out.tracerPid = static_cast<std::int32_t>(tracer);
  return out;
}

Status checkRunningImage(int procDir, const ProcessStatus& status, const Mounts& mounts,
                         std::uint64_t ownUserNsDev, std::uint64_t ownUserNsIno) {
  if (status.tracerPid != 0) return refused("traced");
  struct stat ns {};
  if (::fstatat(procDir, "ns/user", &ns, 0) != 0) return refused("cannot see its user namespace");
  if (ns.st_dev != ownUserNsDev || ns.st_ino != ownUserNsIno) {
    return refused("in another user namespace");
  }
  if (status.euid != 0 && status.dumpable) return refused("its user may still inspect it");
  std::string maps;
  if (!readProcFile(procDir, "maps", maps)) return refused("cannot read its memory map");
  std::string_view rest(maps);
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    if (auto st = checkMapping(rest.substr(0, nl), mounts); !st) return st;
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
  }
  return {};
}

}  // namespace tamsel::ipc
