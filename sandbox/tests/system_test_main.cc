// Entry of tamsel_system_test. Besides running the tests, the binary can play a helper process
// that a test starts: "--child NAME ARGS..." runs that child role instead (see sandbox_env.h).
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <iostream>

#include "sandbox/tests/support/sandbox_env.h"

int main(int argc, char** argv) {
  // A test writing to a child that has gone sees EPIPE rather than dying.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
    return tamsel::systemtest::runChildRole(argv[2], argc - 3, argv + 3);
  }
  testing::InitGoogleTest(&argc, argv);
  if (!tamsel::systemtest::insideSandbox()) {
    std::cerr << "tamsel_system_test runs inside the sandbox, with the daemon started:\n"
                 "  sandbox/run -- /usr/local/libexec/tamsel/tests/tamsel_system_test\n";
    return 2;
  }
  return RUN_ALL_TESTS();
}
