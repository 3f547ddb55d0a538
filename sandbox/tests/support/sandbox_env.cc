#include "sandbox/tests/support/sandbox_env.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>

#include "platform/identity.h"
#include "platform/log/log_reader.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;

bool becomeUser(const TestUser& user) {
  if (::setgroups(0, nullptr) != 0 || ::setresgid(user.gid, user.gid, user.gid) != 0 ||
      ::setresuid(user.uid, user.uid, user.uid) != 0) {
    return false;
  }
  ::setenv("HOME", std::string(user.home).c_str(), 1);
  return ::chdir(std::string(user.home).c_str()) == 0 || ::chdir("/") == 0;
}

// The child roles registered by the test files, by name.
std::map<std::string, ChildRole, std::less<>>& roles() {
  static std::map<std::string, ChildRole, std::less<>> all;
  return all;
}

// The whole contents of a temporary file, which is then closed.
std::string drain(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

}  // namespace

bool insideSandbox() {
  return ::access("/.sandbox/tamsel-sandbox-root", F_OK) == 0 &&
         ::access("/run/TamselHelper.pid", R_OK) == 0;
}

bool hardenedRun() {
  // "<timeout> <hardened>", as the sandbox's init wrote it before starting the daemon.
  std::ifstream settings("/run/tamsel-sandbox/daemon-settings");
  std::string timeout, hardened;
  return settings >> timeout >> hardened && hardened == "1";
}

std::optional<pid_t> daemonPid() {
  std::ifstream in("/run/TamselHelper.pid");
  pid_t pid = 0;
  std::error_code ec;
  if (!(in >> pid) || pid <= 0 ||
      fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) !=
          "/Applications/Tamsel.app/Contents/MacOS/TamselHelper") {
    return std::nullopt;
  }
  return pid;
}

int openDescriptorCount(pid_t pid) {
  std::error_code ec;
  int count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  return ec ? -1 : count;
}

std::string ProgramResult::describe() const {
  return "exit " + std::to_string(status) + "\n--- stdout:\n" + out + "--- stderr:\n" + err;
}

ProgramResult runProgram(const std::vector<std::string>& argv, const std::optional<TestUser>& as) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ProgramResult result;
  result.status = Child(as, [&] {
                    std::vector<char*> args;
                    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
                    args.push_back(nullptr);
                    const int devnull = ::open("/dev/null", O_RDONLY);
                    if (::dup2(devnull, 0) < 0 || ::dup2(::fileno(out), 1) < 0 ||
                        ::dup2(::fileno(err), 2) < 0) {
                      return 125;
                    }
                    ::execv(args[0], args.data());
                    std::perror(args[0]);
                    return 127;
                  }).wait();
  result.out = drain(out);
  result.err = drain(err);
  return result;
}

Child::Child(const std::optional<TestUser>& as, const std::function<int()>& fn) {
  std::fflush(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    if (as && !becomeUser(*as)) {
      std::perror("system test child: cannot become the test user");
      ::_exit(125);
    }
    const int rc = fn();
    std::fflush(nullptr);
    ::_exit(rc);
  }
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

int Child::wait() {
  if (pid_ <= 0) return -1;
  int w = 0;
  while (!status_ && ::waitpid(pid_, &w, 0) < 0) {
    if (errno != EINTR) status_ = -1;
  }
  if (!status_) status_ = WIFEXITED(w) ? WEXITSTATUS(w) : 128 + WTERMSIG(w);
  return *status_;
}

std::string reportAsUser(const TestUser& user, const std::function<std::string()>& fn) {
  std::FILE* spool = std::tmpfile();
  const int status = runAsUser(user, [&] {
    const std::string report = fn();
    return std::fwrite(report.data(), 1, report.size(), spool) == report.size() &&
                   std::fflush(spool) == 0
               ? 0
               : 1;
  });
  const std::string report = drain(spool);
  return status == 0 ? report : report + " [child exit " + std::to_string(status) + "]";
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

bool registerChildRole(std::string_view name, ChildRole role) {
  roles()[std::string(name)] = std::move(role);
  return true;
}

int runChildRole(std::string_view name, int argc, char** argv) {
  const auto it = roles().find(name);
  if (it != roles().end()) return it->second(argc, argv);
  std::cerr << "tamsel_system_test: no child role " << name << "\n";
  return 127;
}

std::int64_t LogStoreReader::mark() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::vector<StoredEntry> LogStoreReader::entriesAfter(std::int64_t mark) const {
  Result<log::LogReader> reader = log::LogReader::open(kLogStorePath);
  if (!reader) throw std::runtime_error("log store: " + reader.error().description);
  std::vector<StoredEntry> entries;
  const Status read = reader->forEachSince(kHelperIdentifier, mark, [&](const log::StoredEntry& e) {
    entries.push_back({e.level, std::string(e.message)});
    return true;
  });
  if (!read) throw std::runtime_error("log store: " + read.error().description);
  return entries;
}

std::string describe(const std::vector<StoredEntry>& entries) {
  std::string text;
  for (const StoredEntry& e : entries) text += std::to_string(e.level) + ": " + e.message + "\n";
  return text;
}

}  // namespace tamsel::systemtest
