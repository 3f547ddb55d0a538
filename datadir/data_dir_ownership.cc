#include "datadir/data_dir_ownership.h"

#include "host/path_under_home.h"
#include "host/subprocess.h"
#include "platform/pinned_home.h"
#include "platform/utf8.h"

namespace tamsel {

StatusReply chownTamselDataDirIn(const ChownEnvironment& environment, const log::Logger& logger,
                                 const ConnectingPeer& peer, const std::string& path,
                                 std::int64_t toUid) {
  logger.info("chownTamselDataDir: path=%{public}s, toUid=%ld", path, toUid);

  std::optional<std::string> home = environment.connectingHome(peer);
  if (!home) {
    return StatusReply::failure("chownTamselDataDir: could not resolve the connecting user's home");
  }
  // Pinned before anything is checked: every later step, chown's included, is resolved beneath
  // this very directory, so a link swapped in afterwards leads nowhere.
  Result<PinnedHome> pinned = PinnedHome::pin(standardisePath(*home));
  std::optional<std::string> target = pathUnderHome(path, *home);
  const std::string outside = "chownTamselDataDir: path must live under the connecting user's home";
  if (!target) return StatusReply::failure(outside);
  if (!pinned) {
    return StatusReply::failure("Failed to run " + environment.chownTool + ": " +
                                pinned.error().description);
  }
  Result<HomeEntry> entry = pinned->entryAt(*target);
  if (!entry) {
    return StatusReply::failure("Failed to run " + environment.chownTool + ": " +
                                entry.error().description);
  }
  switch (*entry) {
    case HomeEntry::kMissing:
      return StatusReply::success();
    case HomeEntry::kOutside:
      return StatusReply::failure(outside);
    case HomeEntry::kDirectory:
    case HomeEntry::kNonDirectory:
      break;
  }
  const std::string uidText = std::to_string(toUid);
  if (toUid < 0 || toUid > 4294967295LL) {
    return StatusReply::failure("chownTamselDataDir: uid " + uidText + " is not a valid user id");
  }
  std::optional<UserRecord> user = environment.userEntry(static_cast<std::uint32_t>(toUid));
  if (!user) {
    return StatusReply::failure("chownTamselDataDir: uid " + uidText + " not found in passwd");
  }

  // P is absolute, so it can never be read as an option.
  const std::vector<std::string> arguments = {"-R", uidText + ":" + std::to_string(user->gid),
                                              *target};
  // No link inside the home can be followed while chown runs.
  HelperSubprocess::RunResult result =
      HelperSubprocess::runCapturingStderr(*pinned, environment.chownTool, arguments);
  if (!result) {
    return StatusReply::failure("Failed to run " + environment.chownTool + ": " +
                                result.error().description);
  }
  if (result->status != 0) {
    const std::string& bytes = result->stderr;
    std::string text = isValidUtf8(bytes) ? bytes : std::string();
    return StatusReply::failure("chown failed (exit " + std::to_string(result->status) +
                                "): " + text);
  }
  return StatusReply::success();
}

StatusReply chownTamselDataDir(const log::Logger& logger, const ConnectingPeer& peer,
                               const std::string& path, std::int64_t toUid) {
  return chownTamselDataDirIn(ChownEnvironment{}, logger, peer, path, toUid);
}

}  // namespace tamsel
