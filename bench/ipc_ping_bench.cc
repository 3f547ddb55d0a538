// One client pinging through the Listener (client library, admission, per-message sender
// checks, the real dispatch) against a bare 64-byte Unix-socket ping-pong, both measured from a
// separate signed client process in the same run, median round trips compared.
//
// On this 2-CPU VM a cross-CPU wake-up costs several microseconds, so where the scheduler puts
// the serving thread relative to the client decides much of a round trip, and it does not
// decide alike for a bare server thread and a pool thread. The comparison is therefore made
// three ways: both sides on one CPU, on separate CPUs, and wherever the scheduler puts them.
// Prints "ipc_ping_<placement>_vs_bare_ratio <listener median / bare median>" for each, the
// free-running one last (goal: at most 1.5).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "bench/ipc_bench_support.h"

namespace {

using namespace tamsel::bench;

constexpr int kPings = 20'000;

struct Placement {
  const char* name;
  int serverCpu;  // -1: anywhere
  int clientCpu;
};
constexpr Placement kPlacements[] = {{"same_cpu", 1, 1}, {"separate_cpus", 1, 0}, {"free", -1, -1}};

struct Samples {
  std::vector<double> listener, bare, listenerP99, bareP99;
};
std::map<std::string, Samples> gSamples;

void BM_PingRoundTrip(benchmark::State& state) {
  const Placement& where = kPlacements[state.range(0)];
  ScratchDir dir;
  const std::string client = signedClient(dir);
  HelperService helper(dir);
  BareServer bare(dir, BareServer::Mode::kEcho);
  Samples& out = gSamples[where.name];
  for (auto _ : state) {
    // Server threads (the pool's and the bare server's) are pinned as they exist by now.
    pinThreads(::getpid(), where.serverCpu);
    // Alternate, so drift on a shared machine hits both alike.
    const ClientStats b =
        runClient({client, "bare-ping", bare.path(), std::to_string(kPings)}, where.clientCpu);
    pinThreads(::getpid(), where.serverCpu);
    const ClientStats l = runClient(
        {client, "listener-ping", helper.path(), std::to_string(kPings)}, where.clientCpu);
    state.SetIterationTime(static_cast<double>(l.totalNs) / 1e9);
    out.bare.push_back(b.medianNs / 1e3);
    out.listener.push_back(l.medianNs / 1e3);
    out.bareP99.push_back(b.p99Ns / 1e3);
    out.listenerP99.push_back(l.p99Ns / 1e3);
  }
  pinThreads(::getpid(), -1);
  state.SetLabel(where.name);
}
BENCHMARK(BM_PingRoundTrip)
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gSamples.empty()) return 1;
  for (const Placement& where : kPlacements) {
    auto it = gSamples.find(where.name);
    if (it == gSamples.end()) continue;
    const Samples& s = it->second;
    std::printf("ipc_ping_%s_listener_median_us %.1f\n", where.name, median(s.listener));
    std::printf("ipc_ping_%s_listener_p99_us %.1f\n", where.name, median(s.listenerP99));
    std::printf("ipc_ping_%s_bare_median_us %.1f\n", where.name, median(s.bare));
    std::printf("ipc_ping_%s_bare_p99_us %.1f\n", where.name, median(s.bareP99));
    std::printf("ipc_ping_%s_vs_bare_ratio %.3f\n", where.name,
                median(s.listener) / median(s.bare));
  }
  return 0;
}
