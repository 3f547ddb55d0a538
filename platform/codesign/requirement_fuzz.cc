// Compiles arbitrary texts; those that compile are evaluated against a few fixed signers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/codesign/requirement.h"

namespace cs = tamsel::codesign;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const cs::SigningFacts trusted = [] {
    cs::SigningFacts f;
    f.chainTrusted = true;
    f.chain = {{{{"CN", "Leaf"}, {"OU", "Q4TZ7WMR2K"}}, {{"CN", "CA"}}},
               {{{"CN", "CA"}}, {{"CN", "Root"}}},
               {{{"CN", "Root"}}, {{"CN", "Root"}}}};
    f.identifier = "app.tamsel.cli";
    return f;
  }();
  static const cs::SigningFacts untrusted = [] {
    cs::SigningFacts f;
    f.chain = {{{{"OU", "Q4TZ7WMR2K"}, {"OU", "X"}}, {}}};
    return f;
  }();
  std::shared_ptr<const cs::Requirement> requirement;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const cs::OSStatus status = cs::requirementCreateWithString(text, requirement);
  if ((status == cs::errSecSuccess) != (requirement != nullptr)) __builtin_trap();
  if (status != cs::errSecSuccess && status != cs::errSecCSReqInvalid) __builtin_trap();
  if (requirement) {
    (void)requirement->evaluate(trusted);
    (void)requirement->evaluate(untrusted);
    (void)requirement->evaluate(cs::SigningFacts{});
  }
  return 0;
}
