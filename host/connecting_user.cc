#include "host/connecting_user.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "host/passwd_lookup.h"
#include "platform/utf8.h"
#include "platform/ipc/service.h"

namespace tamsel {
namespace {
constexpr std::size_t kFallbackSize = 16384;
constexpr std::size_t kMaxSize = 1048576;
}  // namespace

std::optional<UserRecord> passwdEntryUsing(std::uint32_t uid, long suggestedSize,
                                           const PasswdLookup& lookup) {
  std::size_t size = suggestedSize < 1 ? kFallbackSize : static_cast<std::size_t>(suggestedSize);
  for (;;) {
    std::vector<char> buffer(size);  // zero-filled
    passwd entry{};
    passwd* found = nullptr;
    int rc = lookup(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
    if (rc != 0) {
      if (size >= kMaxSize || rc != ERANGE) return std::nullopt;
      size = std::min(size * 2, kMaxSize);
      continue;
    }
    if (found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    std::string home = decodeUtf8Lossy(found->pw_dir);
    if (home.empty()) return std::nullopt;
    return UserRecord{std::move(home), static_cast<std::uint32_t>(found->pw_gid)};
  }
}

std::optional<UserRecord> passwdEntry(std::uint32_t uid) {
  return passwdEntryUsing(uid, ::sysconf(_SC_GETPW_R_SIZE_MAX), ::getpwuid_r);
}

std::optional<std::string> connectingUserHome() {
  std::optional<ipc::PeerCredentials> peer = ipc::currentConnectionPeer();
  if (!peer) return std::nullopt;
  std::optional<UserRecord> entry = passwdEntry(peer->uid);
  if (!entry) return std::nullopt;
  return std::move(entry->home);
}

}  // namespace tamsel
