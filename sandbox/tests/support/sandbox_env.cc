#include "sandbox/tests/support/sandbox_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/unique_fd.h"

namespace tamsel::systemtest {
namespace {

constexpr std::string_view kDaemonPath = "/Applications/Tamsel.app/Contents/MacOS/TamselHelper";

int statusOf(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

int waitFor(pid_t pid) {
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return statusOf(wstatus);
}

// In a forked child: become the user for good. Returns false (errno set) on failure.
bool becomeUser(const TestUser& user) {
  if (::setgroups(0, nullptr) != 0) return false;
  if (::setresgid(user.gid, user.gid, user.gid) != 0) return false;
  if (::setresuid(user.uid, user.uid, user.uid) != 0) return false;
  const std::string home(user.home);
  const std::string name(user.name);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("USER", name.c_str(), 1);
  ::setenv("LOGNAME", name.c_str(), 1);
  return ::chdir(home.c_str()) == 0 || ::chdir("/") == 0;
}

pid_t forkRunning(const std::function<bool()>& prepare, const std::function<int()>& fn) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!prepare()) {
      std::perror("system test child: cannot become the test user");
      ::_exit(125);
    }
    const int rc = fn();
    std::fflush(nullptr);
    ::_exit(rc);
  }
  return pid;
}

int forkAndRun(const std::function<bool()>& prepare, const std::function<int()>& fn) {
  const pid_t pid = forkRunning(prepare, fn);
  return pid < 0 ? -1 : waitFor(pid);
}

}  // namespace

bool insideSandbox() {
  return ::access("/.sandbox/tamsel-sandbox-root", F_OK) == 0 &&
         ::access(std::string(kDaemonPidFile).c_str(), R_OK) == 0;
}

bool hardenedRun() {
  // "<timeout> <hardened>", as the sandbox's init wrote it before starting the daemon.
  std::ifstream settings("/run/tamsel-sandbox/daemon-settings");
  std::string timeout, hardened;
  return settings >> timeout >> hardened && hardened == "1";
}

std::optional<pid_t> daemonPid() {
  std::ifstream in{std::string(kDaemonPidFile)};
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return std::nullopt;
  char target[512];
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = ::readlink(exe.c_str(), target, sizeof target);
  if (n <= 0 || std::string_view(target, static_cast<size_t>(n)) != kDaemonPath) {
    return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

int openDescriptorCount(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

int waitForDescriptorCount(pid_t pid, int count, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int seen = openDescriptorCount(pid);
  while (seen != count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    seen = openDescriptorCount(pid);
  }
  return seen;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ProgramResult::describe() const {
  return "exit " + std::to_string(status) + "\n--- stdout:\n" + out + "--- stderr:\n" + err;
}

ProgramResult runProgram(const std::vector<std::string>& argv, const std::optional<TestUser>& as) {
  ProgramResult result;
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
  UniqueFd outRead(outPipe[0]);
  UniqueFd outWrite(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return result;
  UniqueFd errRead(errPipe[0]);
  UniqueFd errWrite(errPipe[1]);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0 || ::dup2(devnull, 0) < 0 || ::dup2(outWrite.get(), 1) < 0 ||
        ::dup2(errWrite.get(), 2) < 0) {
      ::_exit(125);
    }
    if (as && !becomeUser(*as)) {
      std::perror("runProgram: cannot become the test user");
      ::_exit(125);
    }
    ::execv(args[0], args.data());
    std::perror(args[0]);
    ::_exit(127);
  }
  outWrite.reset();
  errWrite.reset();

  pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  result.status = waitFor(pid);
  return result;
}

int runAsUser(const TestUser& user, const std::function<int()>& fn) {
  return forkAndRun([&user] { return becomeUser(user); }, fn);
}

std::string reportAsUser(const TestUser& user, const std::function<std::string()>& fn) {
  // The child's report goes into a file, which it writes through the descriptor it inherits.
  std::FILE* spool = std::tmpfile();
  if (spool == nullptr) return "tmpfile failed";
  const int status = runAsUser(user, [&] {
    const std::string report = fn().substr(0, 1 << 20);
    return std::fwrite(report.data(), 1, report.size(), spool) == report.size() &&
                   std::fflush(spool) == 0
               ? 0
               : 1;
  });
  std::string report;
  std::rewind(spool);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, spool)) > 0;) {
    report.append(buffer, n);
  }
  std::fclose(spool);
  if (status != 0) report += " [child exit " + std::to_string(status) + "]";
  return report;
}

int runInChild(const std::function<int()>& fn) {
  return forkAndRun([] { return true; }, fn);
}

Child::Child(const std::optional<TestUser>& as, const std::function<int()>& fn) {
  pid_ = forkRunning([&as] { return !as || becomeUser(*as); }, fn);
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    waitFor(pid_);
  }
}

std::optional<int> Child::poll() {
  if (pid_ <= 0 || status_) return status_;
  int wstatus = 0;
  if (::waitpid(pid_, &wstatus, WNOHANG) == pid_) status_ = statusOf(wstatus);
  return status_;
}

int Child::wait() {
  if (pid_ <= 0) return -1;
  if (!status_) status_ = waitFor(pid_);
  return *status_;
}

Conversation::Conversation(const TestUser& user, const std::string& program,
                           std::vector<std::string> role) {
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
  UniqueFd childIn(toChild[0]), childOut(fromChild[1]);
  out_.reset(toChild[1]);
  in_.reset(fromChild[0]);
  role.insert(role.begin(), {program, "--child"});
  std::vector<char*> argv;
  for (std::string& a : role) argv.push_back(a.data());
  argv.push_back(nullptr);
  child_.emplace(user, [&] {
    ::dup2(childIn.get(), 0);
    ::dup2(childOut.get(), 1);
    ::execv(program.c_str(), argv.data());
    return 127;
  });
}

std::string Conversation::readLine() {
  std::string line;
  for (char c; ::read(in_.get(), &c, 1) == 1 && c != '\n';) line += c;
  return line;
}

std::string Conversation::ask(const std::string& line) {
  const std::string out = line + "\n";
  return ::write(out_.get(), out.data(), out.size()) > 0 ? readLine() : "";
}

int Conversation::finish() {
  out_.reset();
  return child_ ? child_->wait() : -1;
}

}  // namespace tamsel::systemtest
