// What a system test sees of the sandbox it runs in: fixed places, the test users, the daemon
// process and ways to run programs and functions as root or as a test user.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace tamsel::systemtest {

// Places inside the sandbox (laid out by sandbox/run and sandbox/build-image.sh).
inline constexpr std::string_view kLibexecDir = "/usr/local/libexec/tamsel";
inline constexpr std::string_view kSignedHelperctl = "/usr/local/libexec/tamsel/tamsel-helperctl";
inline constexpr std::string_view kClientsDir = "/usr/local/libexec/tamsel/clients";
inline constexpr std::string_view kSignedSelf =
    "/usr/local/libexec/tamsel/tests/tamsel_system_test";
inline constexpr std::string_view kUnsignedSelf =
    "/usr/local/libexec/tamsel/tests/tamsel_system_test-unsigned";
inline constexpr std::string_view kTestLibrary =
    "/usr/local/libexec/tamsel/tests/libtamsel_test.so";
inline constexpr std::string_view kDaemonPidFile = "/run/TamselHelper.pid";
inline constexpr std::string_view kDaemonLog = "/var/log/TamselHelper.stderr.log";
inline constexpr std::string_view kToolFdsDir = "/run/tamsel-sandbox/tool-fds";

// The helperctl copies the build signs differently: file name under kClientsDir, what it is.
struct ClientCopy {
  std::string_view fileName;
  std::string_view what;
  std::string path() const { return std::string(kClientsDir) + "/" + std::string(fileName); }
};
inline constexpr ClientCopy kUnsignedClient{"tamsel-helperctl-unsigned", "unsigned"};
inline constexpr ClientCopy kOtherTeamClient{"tamsel-helperctl-other-team", "another team"};
inline constexpr ClientCopy kOtherRootClient{"tamsel-helperctl-other-root", "another root"};
inline constexpr ClientCopy kModifiedClient{"tamsel-helperctl-modified", "signed, then modified"};

struct TestUser {
  std::string_view name;
  uid_t uid;
  gid_t gid;
  std::string_view home;
};
inline constexpr TestUser kAlice{"alice", 501, 20, "/Users/alice"};
inline constexpr TestUser kBob{"bob", 502, 20, "/Users/bob"};

// True inside the sandbox with the daemon started.
bool insideSandbox();

// True when the daemon runs confined as the packaged unit confines it. Long loops whose outcome
// does not depend on the confinement run in the plain run only.
bool hardenedRun();

// The daemon's pid, checked against /proc/<pid>/exe; absent when it is not running.
std::optional<pid_t> daemonPid();

// Entries of /proc/<pid>/fd: the descriptors the process holds. -1 when it cannot be read.
int openDescriptorCount(pid_t pid);

// Waits (up to timeoutMs) until the process holds exactly `count` descriptors; returns the last
// count seen. Closing a connection on the daemon's side happens shortly after the client's.
int waitForDescriptorCount(pid_t pid, int count, int timeoutMs);

// The whole contents of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
  std::string describe() const;  // for failure messages
};

// Runs argv[0] with argv (no shell), standard input empty, as root or as a test user.
ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::optional<TestUser>& as = std::nullopt);

// Runs fn in a forked child that has become the user (groups cleared, gid, then uid; HOME set)
// and returns its result as the child's exit status (128 + signal if it died). The child never
// returns into the test framework.
int runAsUser(const TestUser& user, const std::function<int()>& fn);

// Runs fn in a forked child that has become the user and returns the text fn made (at most
// 1 MiB), followed by " [child exit N]" when the child did not exit 0.
std::string reportAsUser(const TestUser& user, const std::function<std::string()>& fn);

// Runs fn in a forked child, as root. Same status rules as runAsUser.
int runInChild(const std::function<int()>& fn);

// A forked child that runs fn (as the user, if given) while the test goes on. Killed and reaped
// on destruction if still running.
class Child {
 public:
  Child(const std::optional<TestUser>& as, const std::function<int()>& fn);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // The exit status once it has ended, without waiting.
  std::optional<int> poll();
  // Waits for the end; the status as runAsUser gives it.
  int wait();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// A copy of the test program playing a child role (see child_roles.h) as user, its standard input
// and output on pipes to the test.
class Conversation {
 public:
  Conversation(const TestUser& user, const std::string& program, std::vector<std::string> role);
  std::string readLine();
  // Writes line, returns the next line the role prints.
  std::string ask(const std::string& line);
  // Closes its standard input and waits for its end.
  int finish();

 private:
  UniqueFd out_, in_;
  std::optional<Child> child_;
};

}  // namespace tamsel::systemtest
