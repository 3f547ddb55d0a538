#include "platform/linux/nss/route_table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/resolver_file_format.h"
#include "platform/unique_fd.h"

namespace tamsel::nss {
namespace {

// The helper's files are under 200 bytes; anything much larger is not one of them.
constexpr off_t kMaxFileSize = 512;

bool take(std::string_view& text, std::string_view prefix) noexcept {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

std::string_view nextLine(std::string_view& text) noexcept {
  std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

std::optional<in_port_t> parsePort(std::string_view digits) noexcept {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<in_port_t>(value);
}

std::optional<Route> routeTo(std::string_view address, in_port_t port) noexcept {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.size() >= sizeof text || address.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  address.copy(text, address.size());
  Route route;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&route.server);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&route.server);
  if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    route.length = sizeof *v4;
  } else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    route.length = sizeof *v6;
  } else {
    return std::nullopt;
  }
  return route;
}

bool trustworthy(const struct stat& st) noexcept {
  return S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
         st.st_size <= kMaxFileSize;
}

FileIdentity identityOf(const struct stat& st) noexcept {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// Reads the whole file at path (not following a link) when it is trustworthy and smaller than
// capacity; -1 otherwise. st describes the file read.
ssize_t readSmallFile(const char* path, char* buffer, std::size_t capacity,
                      struct stat& st) noexcept {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd || ::fstat(fd.get(), &st) != 0 || !trustworthy(st)) return -1;
  std::size_t used = 0;
  while (used < capacity) {
    ssize_t n = ::read(fd.get(), buffer + used, capacity - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  return used < capacity ? static_cast<ssize_t>(used) : -1;
}

}  // namespace

std::optional<Route> parseResolverFile(std::string_view label, std::string_view text) noexcept {
  std::string_view marker = nextLine(text);
  std::string_view nameserver = nextLine(text);
  std::string_view port = nextLine(text);
  if (!text.empty()) return std::nullopt;
  if (!take(marker, kResolverMarkerHead) || !take(marker, label) || marker != kResolverMarkerTail) {
    return std::nullopt;
  }
  if (!take(nameserver, "nameserver ") || !take(port, "port ")) return std::nullopt;
  std::optional<in_port_t> number = parsePort(port);
  if (!number) return std::nullopt;
  return routeTo(nameserver, *number);
}

bool FileIdentity::operator==(const FileIdentity& other) const noexcept {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

std::optional<Route> RouteTable::find(std::string_view label) noexcept {
  char path[256];
  std::size_t directoryLength = std::strlen(directory_);
  if (label.empty() || label.size() > 63 || directoryLength + 1 + label.size() >= sizeof path) {
    return std::nullopt;
  }
  std::memcpy(path, directory_, directoryLength);
  path[directoryLength] = '/';
  label.copy(path + directoryLength + 1, label.size());
  path[directoryLength + 1 + label.size()] = '\0';

  // The one system call a name pays whose label has no file.
  struct stat st;
  if (::lstat(path, &st) != 0 || !trustworthy(st)) return std::nullopt;
  if (std::optional<std::optional<Route>> known = cached(label, identityOf(st))) return *known;

  // New or changed (perhaps once more since the lstat: what counts is the file read).
  char text[kMaxFileSize + 1];
  ssize_t length = readSmallFile(path, text, sizeof text, st);
  if (length < 0) return std::nullopt;
  std::optional<Route> route = parseResolverFile(label, {text, static_cast<std::size_t>(length)});
  remember(label, identityOf(st), route);
  return route;
}

std::optional<std::optional<Route>> RouteTable::cached(std::string_view label,
                                                       const FileIdentity& identity) noexcept {
  std::optional<std::optional<Route>> found;
  pthread_mutex_lock(&lock_);
  for (Entry& entry : entries_) {
    if (entry.lastUse != 0 && label == entry.label && entry.identity == identity) {
      entry.lastUse = ++useClock_;
      found = entry.route;
      break;
    }
  }
  pthread_mutex_unlock(&lock_);
  return found;
}

void RouteTable::remember(std::string_view label, const FileIdentity& identity,
                          const std::optional<Route>& route) noexcept {
  pthread_mutex_lock(&lock_);
  Entry* slot = &entries_[0];
  for (Entry& entry : entries_) {
    if (entry.lastUse != 0 && label == entry.label) {
      slot = &entry;
      break;
    }
    if (entry.lastUse < slot->lastUse) slot = &entry;
  }
  label.copy(slot->label, sizeof slot->label - 1);
  slot->label[label.size()] = '\0';
  slot->identity = identity;
  slot->route = route;
  slot->lastUse = ++useClock_;
  pthread_mutex_unlock(&lock_);
}

}  // namespace tamsel::nss
