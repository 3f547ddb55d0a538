#include "catrust/security_tool.h"

#include "host/subprocess.h"
#include "platform/utf8.h"

namespace tamsel {
namespace {

const std::string kTool(kSecurityTool);

std::string textOrEmpty(const std::string& bytes) {
  return isValidUtf8(bytes) ? bytes : std::string();
}

SecurityOutcome outcomeOf(const std::vector<std::string>& arguments,
                          const HelperSubprocess::RunResult& run) {
  if (!run) return {"Failed to run " + kTool + ": " + run.error().description, run.error().code};
  if (run->status == 0) return {};
  const std::string command = arguments.empty() ? std::string() : arguments.front();
  return {"security " + command + " failed (exit " + std::to_string(run->status) +
              "): " + textOrEmpty(run->stderr),
          0};
}

}  // namespace

std::optional<std::string> systemKeychainCertsPEM(const log::Logger& logger) {
  const HelperSubprocess::RunResult run =
      HelperSubprocess::run(kTool, {"find-certificate", "-a", "-p", std::string(kSystemKeychain)});
  if (!run) {
    logger.error("systemKeychainCertsPEM: failed to run /usr/bin/security: %{public}s",
                 run.error().description);
    return std::nullopt;
  }
  if (run->status != 0) {
    logger.error("systemKeychainCertsPEM: find-certificate failed (exit %d): %{public}s",
                 run->status, textOrEmpty(run->stderr));
    return std::nullopt;
  }
  if (!isValidUtf8(run->stdout)) return std::nullopt;
  return run->stdout;
}

std::vector<CASystemKeychainReconciler::ExistingCert> systemKeychainLocalCACerts(
    const log::Logger& logger) {
  const std::optional<std::string> pem = systemKeychainCertsPEM(logger);
  if (!pem) return {};
  return CASystemKeychainReconciler::existingCertsFromPEM(*pem);
}

SecurityOutcome runSecurity(const std::vector<std::string>& arguments) {
  return outcomeOf(arguments, HelperSubprocess::runCapturingStderr(kTool, arguments));
}

SecurityOutcome runSecurity(const PinnedHome& home, const std::vector<std::string>& arguments) {
  return outcomeOf(arguments, HelperSubprocess::runCapturingStderr(home, kTool, arguments));
}

}  // namespace tamsel
