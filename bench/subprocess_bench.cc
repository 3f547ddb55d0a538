// Cost of HelperSubprocess::run against bare posix_spawn in the same process: starting
// /bin/true (spawn, pipes, the pooled reader, wait), the same run confined to a pinned home
// (its own mount namespace), and draining 64 MiB that a tool writes to
// standard output and standard error at the same time. Wall time (the work is mostly the
// child's and the kernel's), with the variants alternated inside each iteration. Prints
// "<name>_ratio <run time / bare time>" lines and the drain rates in MiB/s.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host/subprocess.h"
#include "platform/pinned_home.h"
#include "platform/testing/scratch_dir.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace {

using tamsel::UniqueFd;
namespace hs = tamsel::HelperSubprocess;

constexpr std::size_t kStreamBytes = 64u << 20;
const std::string kBothStreams = "head -c " + std::to_string(kStreamBytes) +
                                 " /dev/zero & head -c " + std::to_string(kStreamBytes) +
                                 " /dev/zero >&2; wait";

pid_t bareSpawn(const char* path, std::vector<const char*> argv,
                const posix_spawn_file_actions_t* actions) {
  argv.insert(argv.begin(), path);
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, path, actions, nullptr, const_cast<char**>(argv.data()), environ) != 0) {
    return -1;
  }
  return pid;
}

void bareWait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

using Clock = std::chrono::steady_clock;

double secondsOf(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The bare baseline: posix_spawn with nothing set up, then waitpid.
bool bareTrue() {
  pid_t pid = bareSpawn("/bin/true", {}, nullptr);
  if (pid < 0) return false;
  bareWait(pid);
  return true;
}

// The bare drain: the same tool on two pipes, both read on this thread with poll. keep=false
// reads into one reused buffer; keep=true also appends to two strings, as run must keep them.
bool bareDrain(bool keep) {
  std::vector<char> buffer(64 * 1024);
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  UniqueFd outR(out[0]), outW(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) return false;
  UniqueFd errR(err[0]), errW(err[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outW.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errW.get(), 2);
  pid_t pid = bareSpawn("/bin/sh", {"-c", kBothStreams.c_str()}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  if (pid < 0) return false;
  outW.reset();
  errW.reset();
  std::string kept[2];
  std::size_t total = 0;
  pollfd fds[2] = {{outR.get(), POLLIN, 0}, {errR.get(), POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
        continue;
      }
      total += static_cast<std::size_t>(n);
      if (keep) kept[i].append(buffer.data(), static_cast<std::size_t>(n));
    }
  }
  bareWait(pid);
  benchmark::DoNotOptimize(kept);
  return total == 2 * kStreamBytes;
}

// Seconds per call of each variant, measured alternately in the same iterations so that the
// load of a shared machine falls on all of them alike.
std::map<std::string, double> gSeconds;

void record(benchmark::State& state, const std::string& prefix,
            const std::map<std::string, Clock::duration>& spent) {
  const double n = static_cast<double>(state.iterations());
  for (const auto& [name, d] : spent) {
    gSeconds[prefix + name] = secondsOf(d) / n;
    state.counters[name + "_ms"] = 1e3 * secondsOf(d) / n;
  }
}

void BM_SpawnTrue(benchmark::State& state) {
  std::map<std::string, Clock::duration> spent;
  for (auto _ : state) {
    Clock::time_point t0 = Clock::now();
    const bool bare = bareTrue();
    Clock::time_point t1 = Clock::now();
    hs::RunResult r = hs::run("/bin/true", {});
    Clock::time_point t2 = Clock::now();
    if (!bare || !r.ok() || r->status != 0) {
      state.SkipWithError("spawn failed");
      return;
    }
    spent["bare_spawn_wait"] += t1 - t0;
    spent["run"] += t2 - t1;
  }
  record(state, "spawn/", spent);
}

void BM_ConfinedTrue(benchmark::State& state) {
  tamsel::ScratchDir home("subprocess_bench");
  tamsel::Result<tamsel::PinnedHome> pinned = tamsel::PinnedHome::pin(home.path());
  std::map<std::string, Clock::duration> spent;
  for (auto _ : state) {
    Clock::time_point t0 = Clock::now();
    const bool bare = bareTrue();
    Clock::time_point t1 = Clock::now();
    hs::RunResult r = hs::runCapturingStderr(*pinned, "/bin/true", {});
    Clock::time_point t2 = Clock::now();
    if (!bare || !r.ok() || r->status != 0) {
      state.SkipWithError(r.ok() ? "spawn failed" : r.error().description.c_str());
      return;
    }
    spent["bare_spawn_wait"] += t1 - t0;
    spent["confined"] += t2 - t1;
  }
  record(state, "confined/", spent);
}

void BM_Drain64MiBBothStreams(benchmark::State& state) {
  std::map<std::string, Clock::duration> spent;
  for (auto _ : state) {
    Clock::time_point t0 = Clock::now();
    const bool discard = bareDrain(false);
    Clock::time_point t1 = Clock::now();
    const bool keep = bareDrain(true);
    Clock::time_point t2 = Clock::now();
    hs::RunResult r = hs::run("/bin/sh", {"-c", kBothStreams});
    Clock::time_point t3 = Clock::now();
    if (!discard || !keep || !r.ok() || r->stdout.size() != kStreamBytes ||
        r->stderr.size() != kStreamBytes) {
      state.SkipWithError("drain failed or short");
      return;
    }
    spent["bare_read_loop"] += t1 - t0;
    spent["bare_read_loop_keeping"] += t2 - t1;
    spent["run"] += t3 - t2;
  }
  record(state, "drain/", spent);
}

BENCHMARK(BM_SpawnTrue)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(600);
BENCHMARK(BM_ConfinedTrue)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(300);
BENCHMARK(BM_Drain64MiBBothStreams)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto ratio = [](const char* line, const std::string& run, const std::string& bare) {
    if (gSeconds.count(run) != 0 && gSeconds.count(bare) != 0 && gSeconds[bare] > 0) {
      std::printf("%s %.3f\n", line, gSeconds[run] / gSeconds[bare]);
    }
  };
  ratio("subprocess_run_true_vs_bare_spawn_wait_ratio", "spawn/run", "spawn/bare_spawn_wait");
  ratio("confined_run_true_vs_bare_spawn_wait_ratio", "confined/confined",
        "confined/bare_spawn_wait");
  if (gSeconds.count("drain/run") != 0) {
    const double mib = 2.0 * kStreamBytes / (1024.0 * 1024.0);
    std::printf("subprocess_run_drain_64MiB_both_streams_MiB_per_s %.0f\n",
                mib / gSeconds["drain/run"]);
    std::printf("bare_read_loop_64MiB_both_streams_MiB_per_s %.0f\n",
                mib / gSeconds["drain/bare_read_loop"]);
  }
  ratio("subprocess_run_drain_64MiB_vs_bare_read_loop_ratio", "drain/run", "drain/bare_read_loop");
  ratio("subprocess_run_drain_64MiB_vs_bare_read_loop_keeping_bytes_ratio", "drain/run",
        "drain/bare_read_loop_keeping");
  return 0;
}
