// The pinned home on Linux: an O_PATH descriptor of the home directory; lookups beneath it with
// openat2(RESOLVE_BENEATH); tools started in a private mount namespace where a recursive clone
// of the pinned directory, marked nosymfollow, is mounted over the home's path.
#include "platform/pinned_home.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <utility>

#include "platform/linux/regular_file_linux.h"

extern char** environ;

namespace tamsel {
namespace {

constexpr int kLookupAttempts = 8;  // openat2 asks for a retry when a rename raced a lookup

// The path below home, relative ("" for the home itself); absent when path is not home or below.
std::optional<std::string> below(const std::string& path, const std::string& home) {
  if (path == home) return std::string();
  if (path.size() <= home.size() + 1 || path.compare(0, home.size(), home) != 0 ||
      path[home.size()] != '/') {
    return std::nullopt;
  }
  std::size_t start = home.size();
  while (start < path.size() && path[start] == '/') ++start;
  return path.substr(start);
}

// Opens rest beneath dir, never leaving it and never through a /proc magic link. Sets errno
// and returns an invalid descriptor on failure.
UniqueFd openBeneath(int dir, const std::string& rest, std::uint64_t flags) {
  open_how how{};
  how.flags = flags | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
    long fd = ::syscall(SYS_openat2, dir, rest.c_str(), &how, sizeof how);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    if (errno != EAGAIN && errno != EINTR) break;
  }
  return UniqueFd();
}

// ---- Running a tool in a private mount namespace --------------------------------------------

// Steps of the child's set-up, named as a failed one is reported to the parent with its errno.
enum Step : int {
  kCloneHome,
  kNoSymfollow,
  kUnshare,
  kMakePrivate,
  kMountHome,
  kCheckMount,
  kStreams,
  kExec
};
constexpr const char* kStepNames[] = {"open_tree",
                                      "mount_setattr(nosymfollow)",
                                      "unshare(CLONE_NEWNS)",
                                      "mount(MS_REC | MS_PRIVATE)",
                                      "move_mount",
                                      "the home's path does not lead to the mount",
                                      "standard streams",
                                      "execve"};

struct ChildFailure {
  int step = 0;
  int err = 0;
};

// Everything the child needs, prepared before the fork: after it, the child may only make
// async-signal-safe calls (it must not allocate).
struct ChildPlan {
  int homeFd;
  const char* home;
  const char* executable;
  char* const* argv;
  int stdoutFd;  // -1: inherited
  int stderrFd;
  int reportFd;  // close-on-exec: reaches end of stream when the exec succeeds
};

[[noreturn]] void failInChild(int reportFd, int step, int err) {
  ChildFailure failure{step, err};
  [[maybe_unused]] ssize_t n = ::write(reportFd, &failure, sizeof failure);
  ::_exit(127);
}

[[noreturn]] void confineAndExec(const ChildPlan& plan) {
  // Default dispositions for every signal (a handler's address means nothing after exec, but an
  // ignored signal would stay ignored); the mask is cleared last, just before the exec.
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigaction(sig, &action, nullptr);  // fails harmlessly for KILL, STOP and libc's own
  }

  // A detached copy of the pinned directory and every mount below it, with link following off.
  const int tree = ::open_tree(plan.homeFd, "",
                               OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH | AT_RECURSIVE);
  if (tree < 0) failInChild(plan.reportFd, kCloneHome, errno);
  mount_attr attr{};
  attr.attr_set = MOUNT_ATTR_NOSYMFOLLOW;  // the mounts' other flags stay as they are
  if (::mount_setattr(tree, "", AT_EMPTY_PATH | AT_RECURSIVE, &attr, sizeof attr) != 0) {
    failInChild(plan.reportFd, kNoSymfollow, errno);
  }
  // A mount namespace of its own, from which nothing propagates back.
  if (::unshare(CLONE_NEWNS) != 0) failInChild(plan.reportFd, kUnshare, errno);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    failInChild(plan.reportFd, kMakePrivate, errno);
  }
  if (::move_mount(tree, "", AT_FDCWD, plan.home,
                   MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_SYMLINKS) != 0) {
    failInChild(plan.reportFd, kMountHome, errno);
  }
  // The home's path must now end on that mount, or the tool would look paths up elsewhere.
  struct statx atPath {};
  struct statx mounted {};
  if (::statx(AT_FDCWD, plan.home, AT_NO_AUTOMOUNT, STATX_MNT_ID, &atPath) != 0 ||
      ::statx(tree, "", AT_EMPTY_PATH, STATX_MNT_ID, &mounted) != 0) {
    failInChild(plan.reportFd, kCheckMount, errno);
  }
  if (!(atPath.stx_mask & STATX_MNT_ID) || atPath.stx_mnt_id != mounted.stx_mnt_id) {
    failInChild(plan.reportFd, kCheckMount, EXDEV);
  }

  if ((plan.stdoutFd >= 0 && ::dup2(plan.stdoutFd, 1) < 0) || ::dup2(plan.stderrFd, 2) < 0) {
    failInChild(plan.reportFd, kStreams, errno);
  }
  // Whatever else is open (descriptors another part of the process opened without
  // close-on-exec included) ends at the exec; the report pipe stays open until then.
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) failInChild(plan.reportFd, kStreams, errno);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(plan.executable, plan.argv, environ);
  failInChild(plan.reportFd, kExec, errno);
}

// A pipe whose ends are close-on-exec and above the standard descriptors, so that the child's
// dup2 onto 1 and 2 never overwrites another end (possible if the helper runs with one closed).
Status makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Error::fromErrno(errno, "pipe2");
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  for (UniqueFd* end : {&readEnd, &writeEnd}) {
    if (end->get() > 2) continue;
    int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return Error::fromErrno(errno, "fcntl(F_DUPFD_CLOEXEC)");
    end->reset(moved);
  }
  return Status::success();
}

}  // namespace

Result<PinnedHome> PinnedHome::pin(const std::string& home) {
  if (home.empty() || home.front() != '/' || home == "/") {
    return Error{EINVAL, "not a home directory: " + home};
  }
  UniqueFd dir(::open(home.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    if (errno == ENOENT || errno == ENOTDIR) return PinnedHome(home, UniqueFd());
    return Error::fromErrno(errno, "could not open the home " + home);
  }
  return PinnedHome(home, std::move(dir));
}

Result<HomeEntry> PinnedHome::entryAt(const std::string& path) const {
  std::optional<std::string> rest = below(path, path_);
  if (!rest) return HomeEntry::kOutside;
  if (!dir_) return HomeEntry::kMissing;
  if (rest->empty()) return HomeEntry::kDirectory;
  UniqueFd fd = openBeneath(dir_.get(), *rest, O_PATH);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return HomeEntry::kMissing;
    if (errno == EXDEV || errno == ELOOP) return HomeEntry::kOutside;
    return Error::fromErrno(errno, "could not look up " + path);
  }
  return S_ISDIR(st.st_mode) ? HomeEntry::kDirectory : HomeEntry::kNonDirectory;
}

Result<std::string> PinnedHome::readRegularFile(const std::string& path,
                                                std::size_t maxBytes) const {
  auto failure = [&path](int err) { return Error::fromErrno(err, path); };
  std::optional<std::string> rest = below(path, path_);
  if (!rest) return failure(EXDEV);
  if (!dir_) return failure(ENOENT);
  if (rest->empty()) return failure(EISDIR);
  UniqueFd found = openBeneath(dir_.get(), *rest, O_PATH);
  if (!found) return failure(errno);
  return linux_backend::readLocatedRegularFile(found.get(), path, maxBytes);
}

Result<StartedTool> PinnedHome::startConfined(const std::string& executable,
                                              const std::vector<std::string>& arguments,
                                              bool captureStdout) const {
  auto launchError = [&](int err) {
    return Error::fromErrno(err, "could not launch " + executable);
  };
  auto confineError = [&](int err, const char* what) {
    return Error::fromErrno(err, "could not confine " + executable + " to " + path_ + ": " + what);
  };
  if (!dir_) return confineError(ENOENT, "the home does not exist");

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  UniqueFd outRead, outWrite, errRead, errWrite, reportRead, reportWrite;
  if (captureStdout) {
    if (Status s = makePipe(outRead, outWrite); !s) return launchError(s.error().code);
  }
  if (Status s = makePipe(errRead, errWrite); !s) return launchError(s.error().code);
  if (Status s = makePipe(reportRead, reportWrite); !s) return launchError(s.error().code);
  const ChildPlan plan{dir_.get(),     path_.c_str(),  executable.c_str(), argv.data(),
                       outWrite.get(), errWrite.get(), reportWrite.get()};

  // No handler may run in the child before its dispositions are reset.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::_Fork();  // unlike fork, runs no atfork handlers in the child
  if (pid == 0) confineAndExec(plan);
  const int forkErr = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) return launchError(forkErr);
  ChildProcess child(pid);  // reaped on every path from here on
  outWrite.reset();
  errWrite.reset();
  reportWrite.reset();

  // End of stream: the exec succeeded. A record: the step that failed, and the tool never ran.
  ChildFailure failure;
  ssize_t n;
  do {
    n = ::read(reportRead.get(), &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  if (n != 0) {
    const int readErr = n < 0 ? errno : EPROTO;
    child.wait();
    if (n != static_cast<ssize_t>(sizeof failure) || failure.step < 0 || failure.step > kExec) {
      return confineError(readErr, "no word from the child");
    }
    if (failure.step == kExec) return launchError(failure.err);
    return confineError(failure.err, kStepNames[failure.step]);
  }
  return StartedTool{std::move(child), std::move(outRead), std::move(errRead)};
}

}  // namespace tamsel
