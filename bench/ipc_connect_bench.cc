// New connections. Warm: a signed client, run by an unprivileged user as the application is,
// connects until the Listener admits it (its hello), the verdict for its executable already
// cached, against a bare server that accepts, reads SO_PEERCRED and sends a 64-byte greeting;
// prints "ipc_connect_vs_bare_ratio <bare median / listener median>" (goal: at least 0.5). Cold:
// the same connection from a client executable never seen before (its file touched), 1 MiB and 33
// MiB large; prints the cost per MiB of executable and its ratio to a raw read-and-SHA-256 of the
// same files.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "bench/ipc_bench_support.h"
#include "bench/raw_sha256.h"

namespace {

using namespace tamsel::bench;
using Clock = std::chrono::steady_clock;

constexpr int kConnections = 2'000;
std::vector<double> gListenerUs, gBareUs;
// Per executable size (MiB): cold connection and raw hash times, in microseconds.
std::vector<double> gColdSmall, gColdLarge, gHashSmall, gHashLarge;
constexpr int kSmallMiB = 1, kLargeMiB = 33;

void BM_WarmConnection(benchmark::State& state) {
  ScratchDir dir;
  const std::string client = signedClient(dir);
  HelperService helper(dir);
  BareServer bare(dir, BareServer::Mode::kGreet);
  // The first connection fills the verdict cache.
  runClient(asUnprivilegedUser(dir, {client, "listener-connect", helper.path(), "1"}));
  for (auto _ : state) {
    const ClientStats b = runClient(asUnprivilegedUser(
        dir, {client, "bare-connect", bare.path(), std::to_string(kConnections)}));
    const ClientStats l = runClient(asUnprivilegedUser(
        dir, {client, "listener-connect", helper.path(), std::to_string(kConnections)}));
    state.SetIterationTime(static_cast<double>(l.totalNs) / 1e9);
    gBareUs.push_back(b.medianNs / 1e3);
    gListenerUs.push_back(l.medianNs / 1e3);
  }
}
BENCHMARK(BM_WarmConnection)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// A signed client padded to about mib MiB (zeros after the program, covered by the signature).
std::string paddedClient(const ScratchDir& dir, int mib) {
  const std::string plain = dir.file("plain-" + std::to_string(mib));
  {
    std::ifstream in(IPC_BENCH_CLIENT, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(static_cast<std::size_t>(mib) << 20, '\0');
    std::ofstream(plain, std::ios::binary) << bytes;
    ::chmod(plain.c_str(), 0755);
  }
  const std::string out = dir.file("padded-" + std::to_string(mib));
  tamsel::codesign::SigningIdentity id{kPki + "/team.key", kPki + "/team.pem",
                                       kPki + "/team-chain.pem", std::nullopt};
  if (!tamsel::codesign::signFile(plain, out, id)) std::exit(1);
  return out;
}

double rawHashUs(const std::string& path) {
  std::vector<unsigned char> buffer(std::size_t{128} * 1024);  // touched outside the timing
  const auto t0 = Clock::now();
  benchmark::DoNotOptimize(rawReadAndSha256(path, buffer));
  const auto t1 = Clock::now();
  return std::chrono::duration<double, std::micro>(t1 - t0).count();
}

// Each connection from a file whose change time just moved: a verdict cache miss.
double coldConnectionUs(const std::string& exe, const std::string& socket) {
  ::utimensat(AT_FDCWD, exe.c_str(), nullptr, 0);
  return runClient({exe, "listener-connect", socket, "1"}).medianNs / 1e3;
}

void BM_ColdConnection(benchmark::State& state) {
  ScratchDir dir;
  const std::string small = paddedClient(dir, kSmallMiB);
  const std::string large = paddedClient(dir, kLargeMiB);
  HelperService helper(dir);
  for (auto _ : state) {
    gColdSmall.push_back(coldConnectionUs(small, helper.path()));
    gColdLarge.push_back(coldConnectionUs(large, helper.path()));
    gHashSmall.push_back(rawHashUs(small));
    gHashLarge.push_back(rawHashUs(large));
    state.SetIterationTime((gColdSmall.back() + gColdLarge.back()) / 1e6);
  }
}
BENCHMARK(BM_ColdConnection)->UseManualTime()->Iterations(7)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gListenerUs.empty() && gColdSmall.empty()) return 1;
  if (!gListenerUs.empty()) {
    std::printf("ipc_connect_listener_median_us %.1f\n", median(gListenerUs));
    std::printf("ipc_connect_bare_median_us %.1f\n", median(gBareUs));
    std::printf("ipc_connect_vs_bare_ratio %.3f\n", median(gBareUs) / median(gListenerUs));
  }
  if (!gColdSmall.empty()) {
    const double span = kLargeMiB - kSmallMiB;
    const double coldPerMiB = (median(gColdLarge) - median(gColdSmall)) / span;
    const double hashPerMiB = (median(gHashLarge) - median(gHashSmall)) / span;
    std::printf("ipc_cold_connection_%dmib_us %.0f\n", kSmallMiB, median(gColdSmall));
    std::printf("ipc_cold_connection_%dmib_us %.0f\n", kLargeMiB, median(gColdLarge));
    std::printf("ipc_cold_admission_us_per_mib %.0f\n", coldPerMiB);
    std::printf("ipc_cold_admission_per_mib_vs_raw_sha256_ratio %.3f\n", coldPerMiB / hashPerMiB);
  }
  return 0;
}
