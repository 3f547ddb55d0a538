// The compiled form of a requirement text, and its evaluation against signing facts.
//
// Grammar (keywords are reserved; `!` binds tighter than `and`, `and` tighter than `or`):
//   expr    := and ( "or" and )*
//   and     := unary ( "and" unary )*
//   unary   := "!" unary | "(" expr ")" | clause
//   clause  := "anchor" "apple" [ "generic" ]
//            | ( "certificate" | "cert" ) slot "[" field "]" "=" value
//            | "identifier" [ "=" ] value
//   slot    := "leaf" | "root" | "anchor" | integer     (0 = leaf, -1 = root)
//   field   := ( "subject" | "issuer" ) "." ( "CN" | "O" | "OU" | "C" | "L" | "ST" )
//   value   := quoted string (escapes \" and \\) | bare word of [A-Za-z0-9._-] that is no keyword
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codesign/code_signing.h"
#include "platform/codesign/signing_facts.h"

namespace tamsel::codesign {

// Limits that keep hostile texts cheap: longer texts and deeper nesting do not compile.
inline constexpr std::size_t kMaxRequirementLength = 16 * 1024;
inline constexpr int kMaxRequirementDepth = 64;

struct RequirementNode {
  enum class Kind : std::uint8_t {
    kOr,             // children
    kAnd,            // children
    kNot,            // children[0]
    kAnchorGeneric,  // the chain verified to the anchor
    kAnchorDirect,   // ...and the leaf was issued by the anchor itself
    kCertificateField,
    kIdentifier,
  };
  Kind kind = Kind::kAnchorGeneric;
  std::vector<RequirementNode> children;
  int certificateIndex = 0;  // >= 0 counts from the leaf, < 0 from the anchor (-1 = anchor)
  bool issuerField = false;  // issuer.X rather than subject.X
  std::string attribute;     // "CN", "OU", ...
  std::string value;         // for kCertificateField and kIdentifier
};

class Requirement {
 public:
  explicit Requirement(RequirementNode root) : root_(std::move(root)) {}

  // True when the facts satisfy the requirement.
  bool evaluate(const SigningFacts& facts) const;

  const RequirementNode& root() const { return root_; }

 private:
  RequirementNode root_;
};

// The parser behind requirementCreateWithString: the tree, or null when the text is invalid.
std::unique_ptr<RequirementNode> parseRequirement(std::string_view text);

}  // namespace tamsel::codesign
