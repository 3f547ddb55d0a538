#include "catrust/certificate_model.h"
#include "catrust/reconcile_plan.h"
#include "catrust/root_ca_operations.h"
#include "catrust/security_tool.h"

namespace tamsel {

StatusReply reconcileSystemCACertificate(const log::Logger& logger, const ConnectingPeer& peer,
                                         const std::string& certPath) {
  namespace model = CASystemKeychainReconciler;
  logger.info("reconcileSystemCACertificate: path=%{public}s", certPath);

  // Pinned before the path is checked: the check and the read below are resolved beneath this
  // very directory, whatever the user swaps in meanwhile.
  std::optional<PinnedHome> home = pinnedConnectingUserHome(peer);
  if (!home) {
    return StatusReply::failure(
        "Refusing to reconcile certificate: could not resolve the connecting user's home");
  }
  std::optional<std::string> path = resolveRootCAPath(certPath, *home, /*mustExist=*/true);
  if (!path) {
    return StatusReply::failure("Refusing to reconcile certificate at " + certPath +
                                ": not Tamsel's own root-CA path");
  }

  Result<std::string> contents = home->readRegularFile(*path, kMaxRootCAFileBytes);
  std::optional<std::string> der =
      contents ? model::derFromCertificateFile(*contents) : std::nullopt;
  if (!der || !model::isCertificate(*der)) {
    return StatusReply::failure("Couldn't read a valid certificate from " + *path);
  }

  const model::ReconcilePlan plan =
      model::planReconcile(model::sha256Fingerprint(*der), systemKeychainLocalCACerts(logger));
  for (const model::ExistingCert& stale : plan.stale) {
    const SecurityOutcome deleted =
        runSecurity({"delete-certificate", "-Z", stale.sha1, std::string(kSystemKeychain)});
    if (deleted.message) {
      logger.error("reconcile: failed to delete stale root %{public}s: %{public}s", stale.sha1,
                   *deleted.message);
    }
  }
  if (plan.needsAdd) {
    // The tool reads the file itself; confined, it reaches only the home's own tree.
    const SecurityOutcome added =
        runSecurity(*home, {"add-certificates", "-k", std::string(kSystemKeychain), *path});
    if (added.message) {
      return StatusReply::failure("Failed to add root CA to the System keychain: " + *added.message,
                                  added.code);
    }
  }
  return StatusReply::success();
}

}  // namespace tamsel
