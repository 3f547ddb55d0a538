#include "host/connecting_user.h"

#include <algorithm>
#include <cerrno>

#include "platform/utf8.h"

namespace tamsel {
namespace {
constexpr std::size_t kFallbackSize = 16384;
constexpr std::size_t kMaxSize = 1048576;
}  // namespace

std::optional<UserRecord> passwdEntryUsing(std::uint32_t uid, long suggestedSize,
                                           const UserLookup& lookup) {
  std::size_t size = suggestedSize < 1 ? kFallbackSize : static_cast<std::size_t>(suggestedSize);
  for (;;) {
    UserDatabaseAnswer answer = lookup(uid, size);
    if (answer.error != 0) {
      if (size >= kMaxSize || answer.error != ERANGE) return std::nullopt;
      size = std::min(size * 2, kMaxSize);
      continue;
    }
    if (!answer.home) return std::nullopt;
    std::string home = decodeUtf8Lossy(*answer.home);
    if (home.empty()) return std::nullopt;
    return UserRecord{std::move(home), answer.gid};
  }
}

std::optional<UserRecord> passwdEntry(std::uint32_t uid) {
  return passwdEntryUsing(uid, suggestedUserBufferSize(), lookUpUser);
}

std::optional<std::string> connectingUserHome(const ConnectingPeer& peer) {
  if (!peer) return std::nullopt;
  std::optional<UserRecord> entry = passwdEntry(peer->uid);
  if (!entry) return std::nullopt;
  return std::move(entry->home);
}

}  // namespace tamsel
