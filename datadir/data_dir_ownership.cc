#include "datadir/data_dir_ownership.h"

#include "host/path_under_home.h"
#include "platform/pinned_home.h"
#include "platform/utf8.h"

namespace tamsel {

void chownTamselDataDirIn(const ChownEnvironment& environment, const HelperImpl& helper,
                          const std::string& path, std::int64_t toUid, StatusReply reply) {
  helper.logger().info("chownTamselDataDir: path=%{public}s, toUid=%ld", path, toUid);

  std::optional<std::string> home = environment.connectingHome();
  if (!home) {
    reply(false, "chownTamselDataDir: could not resolve the connecting user's home", 0);
    return;
  }
  // Pinned before anything is checked: every later step, chown's included, is resolved beneath
  // this very directory, so a link swapped in afterwards leads nowhere.
  Result<PinnedHome> pinned = PinnedHome::pin(standardisePath(*home));
  std::optional<std::string> target = pathUnderHome(path, *home);
  const char* outside = "chownTamselDataDir: path must live under the connecting user's home";
  if (!target) {
    reply(false, outside, 0);
    return;
  }
  if (!pinned) {
    reply(false, "Failed to run " + environment.chownTool + ": " + pinned.error().description, 0);
    return;
  }
  switch (pinned->entryAt(*target)) {
    case HomeEntry::kMissing:
      reply(true, std::nullopt, 0);
      return;
    case HomeEntry::kOutside:
      reply(false, outside, 0);
      return;
    case HomeEntry::kDirectory:
    case HomeEntry::kNonDirectory:
      break;
  }
  const std::string uidText = std::to_string(toUid);
  if (toUid < 0 || toUid > 4294967295LL) {
    reply(false, "chownTamselDataDir: uid " + uidText + " is not a valid user id", 0);
    return;
  }
  std::optional<UserRecord> user = environment.userEntry(static_cast<std::uint32_t>(toUid));
  if (!user) {
    reply(false, "chownTamselDataDir: uid " + uidText + " not found in passwd", 0);
    return;
  }

  // P is absolute, so it can never be read as an option.
  const std::vector<std::string> arguments = {"-R", uidText + ":" + std::to_string(user->gid),
                                              *target};
  // No link inside the home can be followed while chown runs.
  Result<ToolOutput> result =
      pinned->runConfined(environment.chownTool, arguments, PinnedHome::Capture::kStderr);
  if (!result) {
    reply(false, "Failed to run " + environment.chownTool + ": " + result.error().description, 0);
    return;
  }
  if (result->status != 0) {
    const std::string& bytes = result->stderr;
    std::string text = isValidUtf8(bytes) ? bytes : std::string();
    reply(false, "chown failed (exit " + std::to_string(result->status) + "): " + text, 0);
    return;
  }
  reply(true, std::nullopt, 0);
}

void chownTamselDataDir(const HelperImpl& helper, const std::string& path, std::int64_t toUid,
                        StatusReply reply) {
  chownTamselDataDirIn(ChownEnvironment{}, helper, path, toUid, std::move(reply));
}

}  // namespace tamsel
