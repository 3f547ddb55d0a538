#include "sandbox/tests/support/daemon_control.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/identity.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

// Written by sandbox/init.sh: the daemon's command line, words separated by blanks, the
// daemon's path last.
constexpr const char* kDaemonCommandFile = "/run/tamsel-sandbox/daemon-command";

using Clock = std::chrono::steady_clock;

bool waitUntil(int timeoutMs, const auto& done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Gone, or a zombie (its descriptors, the listening socket among them, are closed by then).
bool exited(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == pid) return true;  // a daemon this test started
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const std::size_t paren = line.rfind(')');
  return paren == std::string::npos || line.compare(paren, 3, ") Z") == 0;
}

// The service socket in the listening state, as /proc/net/unix shows it.
bool listening() {
  std::ifstream table("/proc/net/unix");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string f[8];
    for (std::string& field : f) fields >> field;
    if (f[3] == "00010000" && f[7] == kServiceSocketPath) return true;
  }
  return false;
}

}  // namespace

bool stopDaemon(int signal, int timeoutMs) {
  std::ifstream in{std::string(kDaemonPidFile)};
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), signal) != 0) return false;
  return waitUntil(timeoutMs, [pid] { return exited(static_cast<pid_t>(pid)); });
}

bool startDaemon(std::string_view executable, int timeoutMs) {
  std::ifstream in(kDaemonCommandFile);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  if (words.empty()) {
    std::cerr << "startDaemon: no command in " << kDaemonCommandFile << "\n";
    return false;
  }
  words.back() = std::string(executable);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    const int log = ::open(std::string(kDaemonLog).c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (null < 0 || log < 0 || ::dup2(null, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0) {
      ::_exit(125);
    }
    ::syscall(SYS_close_range, 3U, ~0U, 0U);  // nothing of the test's leaks into the daemon
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  std::ofstream(std::string(kDaemonPidFile)) << pid << "\n";
  if (!waitUntil(timeoutMs, listening)) {
    std::cerr << "startDaemon: " << executable << " did not listen within " << timeoutMs << " ms\n";
    return false;
  }
  return true;
}

}  // namespace tamsel::systemtest
