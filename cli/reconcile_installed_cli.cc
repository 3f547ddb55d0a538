#include "cli/reconcile_installed_cli.h"

#include <mutex>
#include <optional>

#include "cli/cli_paths.h"
#include "cli/cli_payload.h"
#include "cli/code_identity.h"
#include "cli/installed_cli_lock.h"
#include "platform/files.h"
#include "platform/info/main_bundle.h"

namespace tamsel {
namespace {

// Given to the install directory (and parents created with it) and to the staged copy.
constexpr FileAttributes kCLIFileAttributes{0755, 0, 0};

constexpr std::string_view kInstallFailed = "Failed to install the tamsel CLI: ";

StatusReply failure(std::string_view leadIn, const Error& error) {
  return StatusReply::failure(std::string(leadIn) + error.description, error.code);
}

std::string parentOf(std::string_view path) {
  return std::string(path.substr(0, path.rfind('/')));
}

}  // namespace

bool installedCLINeedsUpdate(const std::string& payloadPath, const std::string& installedPath) {
  if (!entryExists(installedPath)) return true;
  Result<std::int64_t> payloadSize = fileSize(payloadPath);
  Result<std::int64_t> installedSize = fileSize(installedPath);
  if (payloadSize && installedSize && *payloadSize != *installedSize) return true;
  Result<bool> same = sameContents(payloadPath, installedPath);
  return !same || !*same;
}

StatusReply installCLIPayload(const std::string& payloadPath) {
  const std::string staging(stagingCLIPath);
  // A copy left by an interrupted call; usually there is none.
  (void)removeItem(staging);
  Status staged = copyFileToNewPath(payloadPath, staging);
  if (staged) staged = setAttributes(staging, kCLIFileAttributes);
  if (!staged) {
    (void)removeItem(staging);
    return failure(kInstallFailed, staged.error());
  }
  // The copy is checked where nobody but root can change it any more: whatever happened to the
  // payload since its own check, only these verified bytes are renamed into place.
  if (std::optional<std::string> message = verifyCodeIdentity(staging)) {
    (void)removeItem(staging);
    return StatusReply::failure(*message);
  }
  if (Status renamed = renameReplacing(staging, std::string(installedCLIPath)); !renamed) {
    const int err = renamed.error().code;
    (void)removeItem(staging);
    return StatusReply::failure(std::string(kInstallFailed) + errnoText(err), err);
  }
  return StatusReply::success();
}

StatusReply ensureCLILink() {
  const std::string link(cliLinkPath);
  const std::string parent = parentOf(cliLinkPath);
  if (!entryExists(parent)) {
    if (Status s = createDirectories(parent); !s) {
      return failure("Failed to create " + parent + ": ", s.error());
    }
  }
  const LinkLookup current = lookUpLink(link);
  const bool isLink = current.kind == LinkLookup::Kind::kLink;
  if (isLink && current.target == installedCLIPath) return StatusReply::success();
  // Anything else is replaced, a dangling link included; a failed removal shows in the next step.
  if (isLink || entryExists(link)) (void)removeItem(link);
  if (Status s = createSymbolicLink(std::string(installedCLIPath), link); !s) {
    return failure("Failed to create symlink: ", s.error());
  }
  return StatusReply::success();
}

StatusReply reconcileInstalledCLI(const log::Logger& logger) {
  std::lock_guard lock(installedCLILock());
  const std::optional<std::string> payload =
      locateCLIPayload(mainBundleResourcesDirectory(), appBundlePath);
  if (!payload) {
    return StatusReply::failure("Could not locate the bundled tamsel CLI in the app bundle");
  }
  logger.info("reconcileInstalledCLI: payload=%{public}s", *payload);

  if (std::optional<std::string> message = verifyCodeIdentity(*payload)) {
    logger.error("reconcileInstalledCLI: %{public}s", *message);
    return StatusReply::failure(*message);
  }
  // An existing directory is left as it is, mode and owner included.
  if (Status s = createDirectories(std::string(cliInstallDir), kCLIFileAttributes); !s) {
    return failure("Failed to create " + std::string(cliInstallDir) + ": ", s.error());
  }
  if (installedCLINeedsUpdate(*payload, std::string(installedCLIPath))) {
    StatusReply installed = installCLIPayload(*payload);
    if (!installed.ok) {
      logger.error("reconcileInstalledCLI: %{public}s", *installed.message);
      return installed;
    }
  } else {
    logger.info("reconcileInstalledCLI: already current");
  }
  return ensureCLILink();
}

}  // namespace tamsel
