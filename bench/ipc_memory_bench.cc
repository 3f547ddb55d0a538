// Resident memory of the service layer: the Listener idle, and holding 250 idle admitted
// connections (from a signed client process; about what one user may hold), against a bare server
// holding as many bare connections, in the same run. Prints the Listener's resident memory and
// "ipc_per_connection_memory_vs_bare_ratio" (listener bytes per connection / bare bytes per
// connection), and this whole process's resident size with the connections against the 64 MiB
// goal.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>

#include "bench/ipc_bench_support.h"

namespace {

using namespace tamsel::bench;

constexpr int kConnections = 250;
double gIdleDeltaKiB = 0, gListenerPerConnKiB = 0, gBarePerConnKiB = 0, gTotalMiB = 0;

long rssKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// Connections held by a client process until it is let go.
long heldRssDeltaKiB(const std::string& client, const char* mode, const std::string& socket) {
  const long before = rssKiB();
  ClientProcess holder({client, mode, socket, std::to_string(kConnections)});
  if (holder.readLine() != "ready") std::exit(1);
  // Let the daemon side finish admitting before measuring.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long after = rssKiB();
  gTotalMiB = std::max(gTotalMiB, static_cast<double>(after) / 1024);
  holder.finish();
  return after - before;
}

void BM_IdleConnections(benchmark::State& state) {
  ScratchDir dir;
  const std::string client = signedClient(dir);
  for (auto _ : state) {
    {
      BareServer bare(dir, BareServer::Mode::kHold);
      gBarePerConnKiB =
          static_cast<double>(heldRssDeltaKiB(client, "bare-hold", bare.path())) / kConnections;
    }
    const long before = rssKiB();
    HelperService helper(dir);
    // One admitted round trip warms the pool and the verdict cache, as any running daemon has.
    runClient({client, "listener-ping", helper.path(), "10"});
    gIdleDeltaKiB = static_cast<double>(rssKiB() - before);
    gListenerPerConnKiB =
        static_cast<double>(heldRssDeltaKiB(client, "hold", helper.path())) / kConnections;
    state.SetIterationTime(1);
  }
}
BENCHMARK(BM_IdleConnections)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("ipc_idle_listener_rss_kib %.0f\n", gIdleDeltaKiB);
  std::printf("ipc_listener_rss_per_connection_kib %.2f\n", gListenerPerConnKiB);
  std::printf("ipc_bare_rss_per_connection_kib %.2f\n", gBarePerConnKiB);
  std::printf("ipc_process_rss_with_%d_connections_mib %.1f\n", kConnections, gTotalMiB);
  std::printf("ipc_per_connection_memory_vs_bare_ratio %.2f\n",
              gBarePerConnKiB > 0 ? gListenerPerConnKiB / gBarePerConnKiB : 0.0);
  std::printf("ipc_rss_with_%d_connections_vs_64mib_goal_ratio %.3f\n", kConnections,
              gTotalMiB / 64);
  return 0;
}
