#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/process.h"

extern char** environ;

namespace tamsel {
namespace {

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// Moves fd above the standard descriptors so that the child's dup2 onto 0..2 can never
// overwrite another pipe end (possible only if the helper runs with a standard stream closed).
Result<UniqueFd> aboveStdio(UniqueFd fd) {
  if (fd.get() > 2) return fd;
  UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
  if (!moved) return Error::fromErrno(errno, "fcntl(F_DUPFD_CLOEXEC)");
  return moved;
}

Result<Pipe> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Error::fromErrno(errno, "pipe2");
  UniqueFd r(fds[0]);
  UniqueFd w(fds[1]);
  auto rr = aboveStdio(std::move(r));
  if (!rr) return rr.error();
  auto ww = aboveStdio(std::move(w));
  if (!ww) return ww.error();
  return Pipe{std::move(*rr), std::move(*ww)};
}

// posix_spawn attributes and file actions, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    attrOk_ = ::posix_spawnattr_init(&attr_) == 0;
    actionsOk_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (attrOk_) ::posix_spawnattr_destroy(&attr_);
    if (actionsOk_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int prepare(int stdoutWrite, int stderrWrite) {
    if (!attrOk_ || !actionsOk_) return ENOMEM;
    // The tool starts with default signal handling and nothing blocked, whatever the request
    // thread had.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (int e = ::posix_spawnattr_setsigmask(&attr_, &none)) return e;
    if (int e = ::posix_spawnattr_setsigdefault(&attr_, &all)) return e;
    if (int e = ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF))
      return e;
    if (stdoutWrite >= 0) {
      if (int e = ::posix_spawn_file_actions_adddup2(&actions_, stdoutWrite, 1)) return e;
    }
    if (int e = ::posix_spawn_file_actions_adddup2(&actions_, stderrWrite, 2)) return e;
    // Close-on-exec covers our own descriptors; this also covers any that another part of the
    // process opened without it.
    return ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
  }

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attrOk_ = false;
  bool actionsOk_ = false;
};

}  // namespace

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0) (void)wait();
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) (void)wait();
}

std::int32_t ChildProcess::wait() {
  const pid_t pid = std::exchange(pid_, -1);
  if (pid <= 0) return -1;
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    return -1;  // reaped elsewhere (SIGCHLD ignored): the status is lost
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return -1;
}

Result<StartedTool> startTool(const std::string& executable,
                              const std::vector<std::string>& arguments, bool captureStdout) {
  auto launchError = [&](int err) {
    return Error::fromErrno(err, "could not launch " + executable);
  };
  Pipe out;
  if (captureStdout) {
    auto p = makePipe();
    if (!p) return launchError(p.error().code);
    out = std::move(*p);
  }
  auto err = makePipe();
  if (!err) return launchError(err.error().code);

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  SpawnSetup setup;
  if (int e = setup.prepare(captureStdout ? out.write.get() : -1, err->write.get())) {
    return launchError(e);
  }
  pid_t pid = -1;
  if (int e = ::posix_spawn(&pid, executable.c_str(), setup.actions(), setup.attr(), argv.data(),
                            environ)) {
    return launchError(e);
  }
  // The write ends close here, so end of stream arrives once the tool (and whatever inherited
  // its streams) has closed them.
  return StartedTool{ChildProcess(pid), std::move(out.read), std::move(err->read)};
}

}  // namespace tamsel
