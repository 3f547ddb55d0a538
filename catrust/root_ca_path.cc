#include "catrust/root_ca_operations.h"
#include "host/path_under_home.h"

namespace tamsel {
namespace {

// The last component of a standardised path.
std::string_view lastComponent(std::string_view path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

std::optional<PinnedHome> pinnedConnectingUserHome(const ConnectingPeer& peer) {
  std::optional<std::string> home = connectingUserHome(peer);
  if (!home) return std::nullopt;
  Result<PinnedHome> pinned = PinnedHome::pin(standardisePath(*home));
  if (!pinned) return std::nullopt;
  return std::move(*pinned);
}

std::optional<std::string> resolveRootCAPath(std::string_view path, const PinnedHome& home,
                                             bool mustExist) {
  std::optional<std::string> resolved = pathUnderHome(path, home.path());
  if (!resolved) return std::nullopt;
  const std::string_view file = *resolved;
  if (lastComponent(file) != "root-ca.crt") return std::nullopt;
  if (lastComponent(file.substr(0, file.rfind('/'))) != "caddy") return std::nullopt;
  if (mustExist) {
    const Result<HomeEntry> entry = home.entryAt(*resolved);
    if (!entry || *entry != HomeEntry::kNonDirectory) return std::nullopt;
  }
  return resolved;
}

}  // namespace tamsel
