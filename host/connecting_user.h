// Who a request is served for: the user-database record of a user id, and the home directory
// of the user whose request the calling thread is serving. Absent results are never errors
// here; each operation turns them into its own refusal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/ipc/service.h"
#include "platform/users.h"

namespace tamsel {

struct UserRecord {
  std::string home;  // never empty
  std::uint32_t gid = 0;
};

// uid's entry in the user database, or absent (no such user, an empty home, a lookup error,
// or an entry that does not fit in 1 MiB). The home is decoded as UTF-8, bad bytes as U+FFFD.
std::optional<UserRecord> passwdEntry(std::uint32_t uid);

// passwdEntry with lookup in place of the user database and suggestedSize in place of its
// suggested buffer size (tests play a database that answers as they need).
using UserLookup = std::function<UserDatabaseAnswer(std::uint32_t uid, std::size_t bufferSize)>;
std::optional<UserRecord> passwdEntryUsing(std::uint32_t uid, long suggestedSize,
                                           const UserLookup& lookup);

// The client process a request is served for, as the service layer identified it (its
// kernel-stamped effective uid); absent outside a request.
using ConnectingPeer = std::optional<ipc::PeerCredentials>;

// The home of the connecting peer's user; absent outside a request or when the user has no
// usable entry.
std::optional<std::string> connectingUserHome(const ConnectingPeer& peer);

}  // namespace tamsel
