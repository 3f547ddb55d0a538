// Shared by the service-layer benchmarks: the daemon side (a Listener with real admission and the
// real dispatch, or a bare Unix-socket server as the baseline) lives in the benchmark process;
// the client side is a signed copy of ipc-bench-client run as a separate process.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/codesign/code_signing_tools.h"
#include "platform/ipc/ipc_test_support.h"
#include "platform/ipc/service.h"
#include "service/code_signing_requirement.h"
#include "service/helper_delegate.h"
#include "service/helper_impl.h"

extern char** environ;

namespace tamsel::bench {

using tamsel::ScratchDir;

inline const std::string kPki = TAMSEL_TEST_PKI_DIR;

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A copy of the benchmark client signed by the team identity (what the daemon admits).
inline std::string signedClient(const ScratchDir& dir, const std::string& name = "client") {
  const std::string out = dir.file(name);
  codesign::SigningIdentity id{kPki + "/team.key", kPki + "/team.pem", kPki + "/team-chain.pem",
                               std::string("ipc-bench-client")};
  if (!codesign::signFile(IPC_BENCH_CLIENT, out, id)) {
    std::fprintf(stderr, "cannot sign the benchmark client\n");
    std::exit(1);
  }
  return out;
}

// args run as an unprivileged user (nobody), as the application runs: the checks of a running
// client apply to users, not to root. dir must then be reachable by everyone.
inline std::vector<std::string> asUnprivilegedUser(const ScratchDir& dir,
                                                   std::vector<std::string> args) {
  ::chmod(dir.path().c_str(), 0755);
  std::vector<std::string> out{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                               "--clear-groups", "--"};
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

struct ClientStats {
  long long count = 0, medianNs = 0, p99Ns = 0, totalNs = 0;
};

// Where the scheduler may run a process's threads: all CPUs (-1) or one.
inline void pinThreads(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int cpus = static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
  for (int c = 0; c < cpus; ++c) {
    if (cpu < 0 || c == cpu) CPU_SET(c, &set);
  }
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = ::opendir(dir.c_str())) {
    while (auto* e = ::readdir(d)) {
      if (e->d_name[0] != '.') ::sched_setaffinity(std::atoi(e->d_name), sizeof(set), &set);
    }
    ::closedir(d);
  }
}

// A client process; its standard input and output are pipes.
class ClientProcess {
 public:
  explicit ClientProcess(std::vector<std::string> args, int cpu = -1) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::exit(1);
    UniqueFd childIn(in[0]), childOut(out[1]);
    toChild_.reset(in[1]);
    fromChild_.reset(out[0]);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, childIn.get(), 0);
    posix_spawn_file_actions_adddup2(&fa, childOut.get(), 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) std::exit(1);
    posix_spawn_file_actions_destroy(&fa);
    if (cpu >= 0) pinThreads(pid_, cpu);
  }
  ~ClientProcess() {
    toChild_.reset();
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  std::string readLine() {
    std::string line;
    char c;
    while (::read(fromChild_.get(), &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // Closes its input and waits; the exit status.
  int finish() {
    toChild_.reset();
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd toChild_, fromChild_;
};

inline ClientStats runClient(std::vector<std::string> args, int cpu = -1) {
  ClientProcess p(std::move(args), cpu);
  std::istringstream line(p.readLine());
  ClientStats s;
  line >> s.count >> s.medianNs >> s.p99Ns >> s.totalNs;
  if (p.finish() != 0 || s.count == 0) {
    std::fprintf(stderr, "benchmark client failed\n");
    std::exit(1);
  }
  return s;
}

// The daemon side as the helper runs it: real admission against the test root, the real
// dispatch and HelperImpl.
class HelperService {
 public:
  explicit HelperService(const ScratchDir& dir) : path_(dir.file("helper")) {
    ipc::ListenerOptions options;
    options.socketPath = path_;
    options.anchorPath = kPki + "/root.pem";
    listener_ = std::make_unique<ipc::Listener>("bench", options);
    listener_->setDelegate(&delegate_);
    listener_->setConnectionCodeSigningRequirement(codeSigningRequirement());
    listener_->resume();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  HelperDelegate delegate_{std::make_shared<const HelperImpl>()};
  std::unique_ptr<ipc::Listener> listener_;
};

// The baseline: a bare Unix-socket server, a thread per connection. Echo: 64-byte ping-pong.
// Greet: accept, SO_PEERCRED, one 64-byte greeting. Hold: accept and keep.
class BareServer {
 public:
  enum class Mode { kEcho, kGreet, kHold };

  BareServer(const ScratchDir& dir, Mode mode) : path_(dir.file("bare")), mode_(mode) {
    listen_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    ::unlink(path_.c_str());
    if (::bind(listen_.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listen_.get(), SOMAXCONN) != 0 || ::chmod(path_.c_str(), 0666) != 0) {
      std::exit(1);
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~BareServer() {
    stopping_ = true;
    ::shutdown(listen_.get(), SHUT_RDWR);
    acceptor_.join();
    std::lock_guard lock(mutex_);
    for (auto& fd : held_) ::shutdown(fd.get(), SHUT_RDWR);
    for (auto& t : threads_) t.join();
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  void acceptLoop() {
    while (!stopping_) {
      UniqueFd fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd) {
        if (stopping_) return;
        continue;
      }
      if (mode_ == Mode::kGreet) {
        struct ucred cred {};
        socklen_t len = sizeof(cred);
        ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len);
        char greeting[64] = {};
        (void)!::send(fd.get(), greeting, sizeof(greeting), MSG_NOSIGNAL);
        continue;  // closed here
      }
      std::lock_guard lock(mutex_);
      if (mode_ == Mode::kHold) {
        held_.push_back(std::move(fd));
        continue;
      }
      const int raw = fd.get();
      held_.push_back(std::move(fd));
      threads_.emplace_back([raw] {
        char buf[64];
        for (;;) {
          std::size_t got = 0;
          while (got < sizeof(buf)) {
            const ssize_t n = ::read(raw, buf + got, sizeof(buf) - got);
            if (n <= 0) return;
            got += static_cast<std::size_t>(n);
          }
          if (::send(raw, buf, sizeof(buf), MSG_NOSIGNAL) != sizeof(buf)) return;
        }
      });
    }
  }

  std::string path_;
  Mode mode_;
  UniqueFd listen_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::list<UniqueFd> held_;
  std::vector<std::thread> threads_;
};

}  // namespace tamsel::bench
