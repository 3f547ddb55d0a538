#include "platform/codesign/requirement.h"

namespace tamsel::codesign {
namespace {

using Kind = RequirementNode::Kind;

const CertificateFacts* certificateAt(const SigningFacts& facts, int index) {
  const auto size = static_cast<long>(facts.chain.size());
  const long at = index >= 0 ? index : size + index;
  if (at < 0 || at >= size) return nullptr;
  return &facts.chain[static_cast<std::size_t>(at)];
}

// A field matches when the name holds exactly one attribute of that type, equal to the value.
// Two OUs in one subject never match: the text names one value, not one of several.
bool fieldMatches(const std::vector<NameAttribute>& name, const std::string& attribute,
                  const std::string& value) {
  int seen = 0;
  bool equal = false;
  for (const auto& [type, text] : name) {
    if (type != attribute) continue;
    ++seen;
    equal = text == value;
  }
  return seen == 1 && equal;
}

bool evaluateNode(const RequirementNode& node, const SigningFacts& facts) {
  switch (node.kind) {
    case Kind::kOr:
      for (const auto& child : node.children) {
        if (evaluateNode(child, facts)) return true;
      }
      return false;
    case Kind::kAnd:
      for (const auto& child : node.children) {
        if (!evaluateNode(child, facts)) return false;
      }
      return true;
    case Kind::kNot:
      return !evaluateNode(node.children.front(), facts);
    case Kind::kAnchorGeneric:
      return facts.chainTrusted && facts.chain.size() >= 2;
    case Kind::kAnchorDirect:
      return facts.chainTrusted && facts.chain.size() == 2;
    case Kind::kCertificateField: {
      // Certificates other than the leaf are only known by position in a verified chain.
      if (!facts.chainTrusted && node.certificateIndex != 0) return false;
      const CertificateFacts* cert = certificateAt(facts, node.certificateIndex);
      if (cert == nullptr) return false;
      return fieldMatches(node.issuerField ? cert->issuer : cert->subject, node.attribute,
                          node.value);
    }
    case Kind::kIdentifier:
      return facts.identifier.has_value() && *facts.identifier == node.value;
  }
  return false;
}

}  // namespace

bool Requirement::evaluate(const SigningFacts& facts) const {
  return evaluateNode(root_, facts);
}

OSStatus requirementCreateWithString(std::string_view text,
                                     std::shared_ptr<const Requirement>& out) {
  out.reset();
  auto root = parseRequirement(text);
  if (!root) return errSecCSReqInvalid;
  out = std::make_shared<const Requirement>(std::move(*root));
  return errSecSuccess;
}

}  // namespace tamsel::codesign
