#include "service/code_signing_requirement.h"

namespace tamsel {

const std::string& codeSigningRequirement() {
  static const std::string text =
      std::string("anchor apple generic and certificate leaf[subject.OU] = ") + '"' +
      kSigningTeamIdentifier + '"';
  return text;
}

}  // namespace tamsel
