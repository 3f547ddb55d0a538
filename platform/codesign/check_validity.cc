#include <openssl/err.h>

#include "platform/codesign/requirement.h"
#include "platform/codesign/signature_checks.h"
#include "platform/codesign/static_code.h"

namespace tamsel::codesign {

OSStatus staticCodeCheckValidity(const StaticCode& code, const Requirement& requirement,
                                 const Anchor* anchor) {
  EmbeddedSignature signature;
  OSStatus status = readEmbeddedSignature(code.fd(), signature);
  if (status == errSecSuccess) status = verifySignedContent(code.fd(), signature);
  if (status == errSecSuccess) {
    SigningFacts facts;
    facts.identifier = signature.identifier;
    evaluateChain(signature, anchor != nullptr ? anchor->certificate() : nullptr, facts);
    // A trusted chain is required whatever the requirement says.
    if (!facts.chainTrusted || !requirement.evaluate(facts)) status = errSecCSReqFailed;
  }
  ERR_clear_error();
  return status;
}

OSStatus staticCodeCheckValidity(const StaticCode& code, const Requirement& requirement) {
  const auto anchor = platformAnchor();
  return staticCodeCheckValidity(code, requirement, anchor.get());
}

OSStatus staticCodeCheckValidity(const StaticCode& code, SecCSFlags flags,
                                 const Requirement& requirement, const Anchor* anchor) {
  if ((flags & ~kSecCSCheckAllArchitectures) != 0) return errSecCSInvalidFlags;
  return staticCodeCheckValidity(code, requirement, anchor);
}

const char* statusName(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "errSecSuccess";
    case errSecCSUnsigned:
      return "errSecCSUnsigned";
    case errSecCSSignatureFailed:
      return "errSecCSSignatureFailed";
    case errSecCSReqFailed:
      return "errSecCSReqFailed";
    case errSecCSReqInvalid:
      return "errSecCSReqInvalid";
    case errSecCSStaticCodeNotFound:
      return "errSecCSStaticCodeNotFound";
    case errSecCSBadObjectFormat:
      return "errSecCSBadObjectFormat";
    case errSecCSInvalidFlags:
      return "errSecCSInvalidFlags";
    default:
      return "unknown status";
  }
}

}  // namespace tamsel::codesign
