// Who a request is served for: the user-database record of a user id, and the home directory
// of the user whose request the calling thread is serving. Absent results are never errors
// here; each operation turns them into its own refusal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tamsel {

struct UserRecord {
  std::string home;  // never empty
  std::uint32_t gid = 0;
};

// uid's entry in the user database, or absent (no such user, an empty home, a lookup error,
// or an entry that does not fit in 1 MiB). The home is decoded as UTF-8, bad bytes as U+FFFD.
std::optional<UserRecord> passwdEntry(std::uint32_t uid);

// The home of the user who sent the request being served (the kernel-stamped effective uid of
// the peer); absent outside a request or when the user has no usable entry.
std::optional<std::string> connectingUserHome();

}  // namespace tamsel
