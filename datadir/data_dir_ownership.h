// Handing a directory tree inside the connecting user's home back to a user, with a recursive
// change of owner run as root.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/connecting_user.h"
#include "platform/log/logger.h"
#include "service/reply_shapes.h"

namespace tamsel {

inline constexpr std::string_view kChownTool = "/usr/sbin/chown";

// Operation body: runs kChownTool "-R" "<uid>:<gid>" P for the standardised path P, once P is
// known to lie in the requesting user's home and toUid has a user-database entry. chown runs
// with the home pinned and mounted so that it can follow no link inside it. A toUid
// outside 0..4294967295 names no user and is refused like an unknown one, in its own words.
StatusReply chownTamselDataDir(const log::Logger& logger, const ConnectingPeer& peer,
                               const std::string& path, std::int64_t toUid);

// What the body reaches outside itself; tests replace the tool and the user lookups.
struct ChownEnvironment {
  std::string chownTool = std::string(kChownTool);
  std::function<std::optional<std::string>(const ConnectingPeer&)> connectingHome =
      connectingUserHome;
  std::function<std::optional<UserRecord>(std::uint32_t)> userEntry = passwdEntry;
};

StatusReply chownTamselDataDirIn(const ChownEnvironment& environment, const log::Logger& logger,
                                 const ConnectingPeer& peer, const std::string& path,
                                 std::int64_t toUid);

}  // namespace tamsel
