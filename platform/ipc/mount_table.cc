#include "platform/ipc/mount_table.h"

#include <fcntl.h>
#include <unistd.h>
#include "platform/ipc/poll_one.h"

#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>

namespace tamsel::ipc {
namespace {

std::string_view nextField(std::string_view& line) {
  const std::size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const std::size_t end = line.find(' ');
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  return field;
}

template <typename T>
bool number(std::string_view text, T& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

// "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw": id, parent, device, root,
// mount point, options, optional fields up to "-", then the file system type.
bool parseLine(std::string_view line, std::uint64_t& id, MountFacts& facts) {
  const std::string_view idText = nextField(line);
  nextField(line);
  const std::string_view device = nextField(line);
  const std::size_t colon = device.find(':');
  if (!number(idText, id) || colon == std::string_view::npos ||
      !number(device.substr(0, colon), facts.devMajor) ||
      !number(device.substr(colon + 1), facts.devMinor)) {
    return false;
  }
  for (std::string_view f = nextField(line); !f.empty(); f = nextField(line)) {
    if (f != "-") continue;
    const std::string_view type = nextField(line);
    facts.userServed = type == "fuse" || type == "fuseblk" || type.starts_with("fuse.");
    return !type.empty();
  }
  return false;
}

bool changed(int fd) {
  const int events = pollOne(fd, POLLPRI, 0);
  return events > 0 && (events & (POLLPRI | POLLERR)) != 0;
}

}  // namespace

std::optional<MountFacts> Mounts::byId(std::uint64_t mountId) const {
  auto it = byId_.find(mountId);
  if (it == byId_.end()) return std::nullopt;
  return it->second;
}

bool Mounts::deviceIsOurs(std::uint32_t major, std::uint32_t minor) const {
  bool found = false;
  for (const auto& [id, m] : byId_) {
    if (m.devMajor != major || m.devMinor != minor) continue;
    if (m.userServed) return false;
    found = true;
  }
  return found;
}

MountTable::MountTable(const char* path)
    : file_(::open(path, O_RDONLY | O_CLOEXEC)), mounts_(std::make_shared<const Mounts>()) {
  if (!file_) file_.reset(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
}

std::shared_ptr<const Mounts> MountTable::current() {
  std::lock_guard lock(mutex_);
  if (!file_) return mounts_;
  // The kernel flags the file once per change of the table, starting from when it was opened.
  if (changed(file_.get())) stale_ = true;
  if (!stale_) return mounts_;
  std::string text;
  char buf[16384];
  if (::lseek(file_.get(), 0, SEEK_SET) != 0) return mounts_;
  for (;;) {
    const ssize_t n = ::read(file_.get(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return mounts_;  // the last table; read again next time
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  auto fresh = std::make_shared<Mounts>();
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    std::uint64_t id = 0;
    MountFacts facts;
    if (parseLine(rest.substr(0, nl), id, facts)) fresh->byId_[id] = facts;
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
  }
  mounts_ = std::move(fresh);
  stale_ = false;
  return mounts_;
}

}  // namespace tamsel::ipc
