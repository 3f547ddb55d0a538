#include "catrust/root_ca_operations.h"
#include "catrust/security_tool.h"

namespace tamsel {

StatusReply removeTrustedCACertificate(const log::Logger& logger, const ConnectingPeer& peer,
                                       const std::string& certPath) {
  logger.info("removeTrustedCACertificate: path=%{public}s", certPath);

  std::optional<PinnedHome> home = pinnedConnectingUserHome(peer);
  if (!home) {
    return StatusReply::failure(
        "Refusing to untrust certificate: could not resolve the connecting user's home");
  }
  std::optional<std::string> path = resolveRootCAPath(certPath, *home, /*mustExist=*/false);
  if (!path) {
    return StatusReply::failure("Refusing to untrust certificate at " + certPath +
                                ": not Tamsel's own root-CA path");
  }

  // Skipped only when nothing stands there for sure. An entry reached through a link out of the
  // home, or one that cannot be looked up, is left to the confined tool, whose refusal is logged.
  const Result<HomeEntry> entry = home->entryAt(*path);
  if (!entry || *entry != HomeEntry::kMissing) {
    const SecurityOutcome cleared = runSecurity(*home, {"remove-trusted-cert", "-d", *path});
    if (cleared.message) {
      logger.error(
          "removeTrustedCACertificate: clearing the trust setting was a no-op or failed "
          "(continuing to purge the cert): %{public}s",
          *cleared.message);
    }
  }

  for (const auto& record : systemKeychainLocalCACerts(logger)) {
    const SecurityOutcome deleted =
        runSecurity({"delete-certificate", "-Z", record.sha1, std::string(kSystemKeychain)});
    if (deleted.message) {
      logger.error("removeTrustedCACertificate: failed to delete %{public}s: %{public}s",
                   record.sha1, *deleted.message);
    }
  }
  return StatusReply::success();
}

}  // namespace tamsel
