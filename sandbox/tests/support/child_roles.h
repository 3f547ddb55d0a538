// Roles the test binary can play as a separate program ("--child NAME ARGS..."), for tests that
// need a process with another executable, for instance the unsigned copy of this very binary.
#pragma once

#include <functional>
#include <string_view>

namespace tamsel::systemtest {

using ChildRole = std::function<int(int argc, char** argv)>;

// Registers a role under name; returns true so that it can initialise a namespace-scope
// variable in the test file that defines the role.
bool registerChildRole(std::string_view name, ChildRole role);

// Runs the named role; 127 when no role has that name.
int runChildRole(std::string_view name, int argc, char** argv);

}  // namespace tamsel::systemtest
