// What a verified signature tells about the signer, in plain C++ types: the input of a compiled
// requirement.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tamsel::codesign {

// One distinguished-name attribute by its short name ("CN", "O", "OU", "C", "L", "ST"), in UTF-8.
using NameAttribute = std::pair<std::string, std::string>;

struct CertificateFacts {
  std::vector<NameAttribute> subject;  // in the order the certificate lists them
  std::vector<NameAttribute> issuer;
};

struct SigningFacts {
  // The chain verified up to the anchor. When true, chain runs from the leaf (index 0) to the
  // anchor (last); when false it holds what the signature carried, unordered after the leaf.
  bool chainTrusted = false;
  std::vector<CertificateFacts> chain;
  std::optional<std::string> identifier;  // the signed identifier attribute, when present
};

}  // namespace tamsel::codesign
