// The daemon's own start: without its socket it serves no one, so it says why at error level and
// exits 1 for the service manager to see, leaving whatever stood at the socket's path alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/identity.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

constexpr const char* kDaemon = "/Applications/Tamsel.app/Contents/MacOS/TamselHelper";

TEST(DaemonStart, ExitsOneSayingWhyWhenItCannotListen) {
  const std::string socket(kServiceSocketPath);
  ASSERT_EQ(runProgram({"/.sandbox/init", "--stop-daemon", "TERM"}).status, 0);
  std::filesystem::remove(socket);
  std::ofstream(socket) << "not a socket";

  const ProgramResult r = runProgram({kDaemon});
  const std::string left = ScratchDir::read(socket);
  std::filesystem::remove(socket);
  ASSERT_EQ(runProgram({"/.sandbox/init", "--start-daemon", kDaemon}).status, 0);

  EXPECT_EQ(r.status, 1) << r.describe();
  EXPECT_NE(r.err.find("<3>TamselHelper: cannot listen: not a socket, left alone: " + socket),
            std::string::npos)
      << r.describe();
  EXPECT_EQ(left, "not a socket");
}

}  // namespace
}  // namespace tamsel::systemtest
