#include "cli/code_identity.h"

#include <memory>

#include "service/code_signing_requirement.h"

namespace tamsel {

std::optional<std::string> verifyCodeIdentity(const std::string& path,
                                              const codesign::Anchor* anchor) {
  std::shared_ptr<const codesign::StaticCode> code;
  if (codesign::staticCodeCreateWithPath(path, code) != codesign::errSecSuccess || !code) {
    return "Could not read the code signature of " + path;
  }
  // Compiled on every call; the text is built once per process and shared with admission.
  std::shared_ptr<const codesign::Requirement> requirement;
  if (codesign::requirementCreateWithString(codeSigningRequirement(), requirement) !=
          codesign::errSecSuccess ||
      !requirement) {
    return "Could not compile Tamsel's code requirement";
  }
  const codesign::OSStatus status = codesign::staticCodeCheckValidity(
      *code, codesign::kSecCSCheckAllArchitectures, *requirement, anchor);
  if (status != codesign::errSecSuccess) return codeIdentityFailure(path, status);
  return std::nullopt;
}

std::optional<std::string> verifyCodeIdentity(const std::string& path) {
  const std::shared_ptr<const codesign::Anchor> anchor = codesign::platformAnchor();
  return verifyCodeIdentity(path, anchor.get());
}

std::string codeIdentityFailure(std::string_view path, codesign::OSStatus status) {
  return std::string(path) + " failed code-identity verification (OSStatus " +
         std::to_string(status) + "); refusing to install it";
}

}  // namespace tamsel
