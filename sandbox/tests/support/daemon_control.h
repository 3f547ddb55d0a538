// Stopping and starting the daemon from inside a test, the way sandbox/init.sh starts it: the
// same command (and so the same confinement), the same log file and pid file. After a test has
// started one, sandbox/init.sh stops that one at the end.
#pragma once

#include <string_view>

namespace tamsel::systemtest {

inline constexpr std::string_view kDaemonExecutable =
    "/Applications/Tamsel.app/Contents/MacOS/TamselHelper";

// Sends signal to the daemon the pid file names and waits until it has exited. False when there
// is none or it did not end within timeoutMs.
bool stopDaemon(int signal, int timeoutMs = 10'000);

// Starts executable as the daemon and waits until its service socket listens. False (with the
// reason on standard error) when it did not within timeoutMs.
bool startDaemon(std::string_view executable = kDaemonExecutable, int timeoutMs = 10'000);

}  // namespace tamsel::systemtest
