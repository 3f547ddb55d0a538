// Where lookups under a top-level label go: the per-domain resolver files of one directory, read
// afresh on every lookup but parsed only when a file changes.
#pragma once

#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string_view>

namespace tamsel::nss {

// The name server of a route, ready for connect().
struct Route {
  sockaddr_storage server{};
  socklen_t length = 0;
};

// The route a resolver file's text gives for label, or nothing unless the text is exactly the
// three lines the helper writes: its marker line for label, "nameserver " and one IPv4 or IPv6
// literal, "port " and a number from 1 to 65535 (one final line feed is allowed).
std::optional<Route> parseResolverFile(std::string_view label, std::string_view text) noexcept;

// What a cached file is known by: a new file, or any change to one, gives a new identity.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  bool operator==(const FileIdentity&) const noexcept;
};

// The resolver files of one directory, with a small cache of parsed files keyed by file
// identity (device, inode, size, modification and change times). Thread-safe; never allocates.
class RouteTable {
 public:
  explicit constexpr RouteTable(const char* directory) noexcept : directory_(directory) {}
  RouteTable(const RouteTable&) = delete;
  RouteTable& operator=(const RouteTable&) = delete;

  // The route for names whose last label is label (already lowercase), or nothing when the
  // directory holds no usable file of that name. A file is usable when it is a regular file
  // (not a link) owned by root, writable by nobody else, and parses.
  std::optional<Route> find(std::string_view label) noexcept;

 private:
  struct Entry {
    char label[64] = {};
    FileIdentity identity;
    std::optional<Route> route;
    unsigned long lastUse = 0;  // 0: empty
  };
  static constexpr int kEntries = 8;

  std::optional<std::optional<Route>> cached(std::string_view label,
                                             const FileIdentity& identity) noexcept;
  void remember(std::string_view label, const FileIdentity& identity,
                const std::optional<Route>& route) noexcept;

  const char* directory_;
  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
  Entry entries_[kEntries] = {};
  unsigned long useClock_ = 0;
};

}  // namespace tamsel::nss
