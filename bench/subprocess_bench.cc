// Cost of HelperSubprocess::run against bare posix_spawn in the same process: starting
// /bin/true (spawn, pipes, the pooled reader, wait), and draining 64 MiB that a tool writes to
// standard output and standard error at the same time. Wall time: the work is mostly the
// child's and the kernel's. Prints "<name>_ratio <run time / bare time>" lines.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host/subprocess.h"
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

void BM_BareSpawnWaitTrue(benchmark::State& state) {
  for (auto _ : state) {
    pid_t pid = bareSpawn("/bin/true", {}, nullptr);
    if (pid < 0) {
      state.SkipWithError("spawn failed");
      break;
    }
    bareWait(pid);
  }
}

void BM_RunTrue(benchmark::State& state) {
  for (auto _ : state) {
    hs::RunResult r = hs::run("/bin/true", {});
    if (!r.ok() || r->status != 0) {
      state.SkipWithError("run failed");
      break;
    }
  }
}

// The bare drain: the same tool on two pipes, both read on this thread with poll. keep=false
// reads into one reused buffer; keep=true also appends to two strings, as run must.
void bareDrain(benchmark::State& state, bool keep) {
  std::vector<char> buffer(64 * 1024);
  for (auto _ : state) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    UniqueFd outR(out[0]), outW(out[1]), errR(err[0]), errW(err[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outW.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errW.get(), 2);
    pid_t pid = bareSpawn("/bin/sh", {"-c", kBothStreams.c_str()}, &actions);
    posix_spawn_file_actions_destroy(&actions);
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
    if (total != 2 * kStreamBytes) {
      state.SkipWithError("short read");
      break;
    }
    benchmark::DoNotOptimize(kept);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * kStreamBytes));
}

void BM_BareDrainDiscard64MiB(benchmark::State& state) {
  bareDrain(state, false);
}
void BM_BareDrainKeep64MiB(benchmark::State& state) {
  bareDrain(state, true);
}

void BM_RunDrain64MiB(benchmark::State& state) {
  for (auto _ : state) {
    hs::RunResult r = hs::run("/bin/sh", {"-c", kBothStreams});
    if (!r.ok() || r->stdout.size() != kStreamBytes || r->stderr.size() != kStreamBytes) {
      state.SkipWithError("run failed or short");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * kStreamBytes));
}

BENCHMARK(BM_BareSpawnWaitTrue)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RunTrue)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BareDrainDiscard64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BareDrainKeep64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RunDrain64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations > 0 && !run.error_occurred) {
        const std::string name = run.benchmark_name();
        seconds[name.substr(0, name.find('/'))] =
            run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto& s = reporter.seconds;
  auto ratio = [&](const char* line, const char* run, const char* bare) {
    if (s.count(run) != 0 && s.count(bare) != 0 && s[bare] > 0) {
      std::printf("%s %.3f\n", line, s[run] / s[bare]);
    }
  };
  ratio("subprocess_run_true_vs_bare_spawn_wait_ratio", "BM_RunTrue", "BM_BareSpawnWaitTrue");
  if (s.count("BM_RunDrain64MiB") != 0) {
    const double mib = 2.0 * kStreamBytes / (1024.0 * 1024.0);
    std::printf("subprocess_run_drain_both_streams_MiB_per_s %.0f\n", mib / s["BM_RunDrain64MiB"]);
  }
  ratio("subprocess_run_drain_64MiB_vs_bare_read_loop_ratio", "BM_RunDrain64MiB",
        "BM_BareDrainDiscard64MiB");
  ratio("subprocess_run_drain_64MiB_vs_bare_read_loop_keeping_bytes_ratio", "BM_RunDrain64MiB",
        "BM_BareDrainKeep64MiB");
  return 0;
}
