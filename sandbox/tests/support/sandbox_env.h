// What a system test sees of the sandbox it runs in: fixed places, the test users, the daemon
// process and its log store, ways to run programs and functions as root or as a test user, and
// roles the test binary plays as a separate program.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/testing/scratch_dir.h"
#include "platform/unique_fd.h"

namespace tamsel::systemtest {

// Places inside the sandbox (laid out by sandbox/run and sandbox/build-image.sh).
inline constexpr std::string_view kSignedHelperctl = "/usr/local/libexec/tamsel/tamsel-helperctl";
// Refused copies of helperctl: this prefix and "unsigned", "other-team", "other-root", "modified".
inline constexpr std::string_view kClientCopy =
    "/usr/local/libexec/tamsel/clients/tamsel-helperctl-";
inline constexpr std::string_view kSignedSelf =
    "/usr/local/libexec/tamsel/tests/tamsel_system_test";
inline constexpr std::string_view kUnsignedSelf =
    "/usr/local/libexec/tamsel/tests/tamsel_system_test-unsigned";
inline constexpr std::string_view kTestLibrary =
    "/usr/local/libexec/tamsel/tests/libtamsel_test.so";
inline constexpr std::string_view kToolFdsDir = "/run/tamsel-sandbox/tool-fds";
inline constexpr int kRefused = 2;  // tamsel-helperctl's status for a refused connection

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

// Entries of /proc/<pid>/fd; -1 when it cannot be read.
int openDescriptorCount(pid_t pid);

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
  std::string describe() const;  // for failure messages
};

// Runs argv[0] with argv (no shell), standard input empty, as root or as a test user.
ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::optional<TestUser>& as = std::nullopt);

// A forked child that runs fn (as the user, if given: groups cleared, gid, then uid; HOME set)
// while the test goes on; its status is fn's result, 128 + signal if it died. It never returns
// into the test framework. Killed and reaped on destruction if still running.
class Child {
 public:
  Child(const std::optional<TestUser>& as, const std::function<int()>& fn);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int wait();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

inline int runAsUser(const TestUser& user, const std::function<int()>& fn) {
  return Child(user, fn).wait();
}

// Runs fn as the user in a forked child and returns the text fn made, followed by
// " [child exit N]" when the child did not exit 0.
std::string reportAsUser(const TestUser& user, const std::function<std::string()>& fn);

// Roles the test binary can play as a separate program ("--child NAME ARGS..."), for tests that
// need a process with another executable, for instance the unsigned copy of this very binary.
// registerChildRole returns true so that it can initialise a namespace-scope variable in the
// test file that defines the role; runChildRole gives 127 when no role has that name.
using ChildRole = std::function<int(int argc, char** argv)>;
bool registerChildRole(std::string_view name, ChildRole role);
int runChildRole(std::string_view name, int argc, char** argv);

// A copy of the test program playing a child role as user, its standard input
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

// The daemon's entries in its log store, read as the export reads them. Tests take a mark (now,
// as the store's times count) before an action and then ask exactly which entries the action
// produced: those stored at or after mark, oldest first. entriesAfter throws std::runtime_error
// when the store cannot be read (a test must not mistake that for "no entries").
struct StoredEntry {
  int level = 0;
  std::string message;
};
class LogStoreReader {
 public:
  std::int64_t mark() const;
  std::vector<StoredEntry> entriesAfter(std::int64_t mark) const;
};
// "level: message" lines, for failure messages.
std::string describe(const std::vector<StoredEntry>& entries);

}  // namespace tamsel::systemtest
