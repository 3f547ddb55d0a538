#include "sandbox/tests/support/child_roles.h"

#include <iostream>
#include <map>
#include <string>

namespace tamsel::systemtest {
namespace {

std::map<std::string, ChildRole, std::less<>>& roles() {
  static std::map<std::string, ChildRole, std::less<>> all;
  return all;
}

}  // namespace

bool registerChildRole(std::string_view name, ChildRole role) {
  roles()[std::string(name)] = std::move(role);
  return true;
}

int runChildRole(std::string_view name, int argc, char** argv) {
  const auto it = roles().find(name);
  if (it == roles().end()) {
    std::cerr << "tamsel_system_test: no child role " << name << "\n";
    return 127;
  }
  return it->second(argc, argv);
}

}  // namespace tamsel::systemtest
