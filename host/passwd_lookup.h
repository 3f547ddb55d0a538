// The lookup behind passwdEntry, with the user database and its suggested buffer size as
// parameters so that tests can play a database that answers as they need.
#pragma once

#include <pwd.h>

#include <cstddef>
#include <functional>
#include <optional>

#include "host/connecting_user.h"

namespace tamsel {

// getpwuid_r's shape.
using PasswdLookup = std::function<int(uid_t, passwd*, char*, std::size_t, passwd**)>;

// passwdEntry with lookup in place of getpwuid_r and suggestedSize in place of
// sysconf(_SC_GETPW_R_SIZE_MAX).
std::optional<UserRecord> passwdEntryUsing(std::uint32_t uid, long suggestedSize,
                                           const PasswdLookup& lookup);

}  // namespace tamsel
