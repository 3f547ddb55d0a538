// One client pinging through the Listener (client library, admission, per-message sender
// checks, the real dispatch) against a bare 64-byte Unix-socket ping-pong, both measured from a
// separate signed client process in the same run. Prints "ipc_ping_vs_bare_ratio <listener
// median / bare median>" (goal: at most 1.5).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>

#include "bench/ipc_bench_support.h"

namespace {

using namespace tamsel::bench;

constexpr int kPings = 20'000;
std::vector<double> gListenerUs, gBareUs, gListenerP99Us, gBareP99Us;

void BM_PingRoundTrip(benchmark::State& state) {
  TempDir dir;
  const std::string client = signedClient(dir);
  HelperService helper(dir);
  BareServer bare(dir, BareServer::Mode::kEcho);
  for (auto _ : state) {
    // Alternate, so drift on a shared machine hits both alike.
    const ClientStats b = runClient({client, "bare-ping", bare.path(), std::to_string(kPings)});
    const ClientStats l =
        runClient({client, "listener-ping", helper.path(), std::to_string(kPings)});
    state.SetIterationTime(static_cast<double>(l.totalNs) / 1e9);
    gBareUs.push_back(b.medianNs / 1e3);
    gListenerUs.push_back(l.medianNs / 1e3);
    gBareP99Us.push_back(b.p99Ns / 1e3);
    gListenerP99Us.push_back(l.p99Ns / 1e3);
  }
  state.counters["listener_median_us"] = gListenerUs.back();
  state.counters["bare_median_us"] = gBareUs.back();
}
BENCHMARK(BM_PingRoundTrip)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gListenerUs.empty()) return 1;
  std::printf("ipc_ping_listener_median_us %.1f\n", median(gListenerUs));
  std::printf("ipc_ping_listener_p99_us %.1f\n", median(gListenerP99Us));
  std::printf("ipc_ping_bare_median_us %.1f\n", median(gBareUs));
  std::printf("ipc_ping_bare_p99_us %.1f\n", median(gBareP99Us));
  std::printf("ipc_ping_vs_bare_ratio %.3f\n", median(gListenerUs) / median(gBareUs));
  return 0;
}
