#include "cli/cli_payload.h"

#include "cli/cli_paths.h"
#include "host/path_under_home.h"
#include "platform/files.h"

namespace tamsel {

bool isInsideAppBundle(std::string_view candidate, std::string_view appBundle) {
  const std::string root = standardisePath(appBundle);
  const std::string inner = standardisePath(candidate);
  return !root.empty() && inner.starts_with(root + "/");
}

std::optional<std::string> locateCLIPayload(const std::optional<std::string>& resourcesDirectory,
                                            std::string_view appBundle) {
  if (!resourcesDirectory) return std::nullopt;
  std::string candidate = *resourcesDirectory;
  if (!candidate.ends_with('/')) candidate += '/';
  candidate += payloadRelativePath;
  if (!isInsideAppBundle(candidate, appBundle)) return std::nullopt;
  if (!entryExists(candidate) || isDirectory(candidate)) return std::nullopt;
  return candidate;
}

}  // namespace tamsel
