// Handing a directory tree inside the connecting user's home back to a user, with a recursive
// change of owner run as root.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/connecting_user.h"
#include "service/helper_impl.h"
#include "service/reply.h"

namespace tamsel {

inline constexpr std::string_view kChownTool = "/usr/sbin/chown";

// Operation body: runs kChownTool "-R" "<uid>:<gid>" P for the standardised path P, once P is
// known to lie in the requesting user's home and toUid has a user-database entry. chown runs
// with the home pinned and mounted so that it can follow no link inside it. A toUid
// outside 0..4294967295 names no user and is refused like an unknown one, in its own words.
void chownTamselDataDir(const HelperImpl& helper, const std::string& path, std::int64_t toUid,
                        StatusReply reply);

// What the body reaches outside itself; tests replace the tool and the user lookups.
struct ChownEnvironment {
  std::string chownTool = std::string(kChownTool);
  std::function<std::optional<std::string>()> connectingHome = connectingUserHome;
  std::function<std::optional<UserRecord>(std::uint32_t)> userEntry = passwdEntry;
};

void chownTamselDataDirIn(const ChownEnvironment& environment, const HelperImpl& helper,
                          const std::string& path, std::int64_t toUid, StatusReply reply);

}  // namespace tamsel
