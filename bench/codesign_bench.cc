// Cost of checking a 10 MB signed file, against the raw read-and-hash of the same bytes that any
// check must do. Prints "<name>_ratio <check time / raw time>" per variant, on CPU time: the file
// sits in the page cache, and CPU time is steadier than wall time on a shared 2-core machine.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include "bench/raw_sha256.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/codesign/code_signing.h"
#include "platform/codesign/code_signing_tools.h"
#include "platform/unique_fd.h"
#include "service/code_signing_requirement.h"

namespace cs = tamsel::codesign;

namespace {

const std::string kPki = TAMSEL_TEST_PKI_DIR;
constexpr std::size_t kFileSize = std::size_t{10} * 1024 * 1024;
std::string gSignedPath;

// The raw baseline: read the file in 128 KiB chunks into one buffer and SHA-256 it.
void BM_RawReadAndSha256(benchmark::State& state) {
  std::vector<unsigned char> buffer;
  for (auto _ : state)
    benchmark::DoNotOptimize(tamsel::bench::rawReadAndSha256(gSignedPath, buffer));
}

// A full check with an anchor loaded beforehand: open, trailer, CMS, digest, signature, chain,
// requirement.
void BM_CheckValidity(benchmark::State& state) {
  std::shared_ptr<const cs::Requirement> req;
  cs::requirementCreateWithString(tamsel::codeSigningRequirement(), req);
  const auto anchor = cs::anchorFromPemFile(kPki + "/root.pem");
  for (auto _ : state) {
    std::shared_ptr<const cs::StaticCode> code;
    cs::staticCodeCreateWithPath(gSignedPath, code);
    if (cs::staticCodeCheckValidity(*code, *req, anchor.get()) != cs::errSecSuccess) {
      state.SkipWithError("check failed");
      break;
    }
  }
}

// The same, reading the anchor on every check, as the platform-anchor overload does.
void BM_CheckValidityAnchorPerCheck(benchmark::State& state) {
  for (auto _ : state) {
    std::shared_ptr<const cs::Requirement> req;
    cs::requirementCreateWithString(tamsel::codeSigningRequirement(), req);
    const auto anchor = cs::anchorFromPemFile(kPki + "/root.pem");
    std::shared_ptr<const cs::StaticCode> code;
    cs::staticCodeCreateWithPath(gSignedPath, code);
    if (cs::staticCodeCheckValidity(*code, *req, anchor.get()) != cs::errSecSuccess) {
      state.SkipWithError("check failed");
      break;
    }
  }
}

BENCHMARK(BM_RawReadAndSha256)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_CheckValidity)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_CheckValidityAnchorPerCheck)->Unit(benchmark::kMillisecond)->MinTime(1.0);

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations > 0) {
        const std::string name = run.benchmark_name();
        seconds[name.substr(0, name.find('/'))] =
            run.cpu_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  char dir[] = "/tmp/codesign-bench.XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  const std::string plain = std::string(dir) + "/plain";
  gSignedPath = std::string(dir) + "/signed";
  {
    std::string content(kFileSize, '\0');
    std::mt19937_64 rng(1);
    for (char& c : content) c = static_cast<char>(rng());
    std::ofstream(plain, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  cs::SigningIdentity id{kPki + "/team.key", kPki + "/team.pem", kPki + "/team-chain.pem", "bench"};
  if (!cs::signFile(plain, gSignedPath, id).ok()) {
    std::fprintf(stderr, "cannot sign the benchmark file\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double raw = reporter.seconds["BM_RawReadAndSha256"];
  if (raw > 0) {
    for (const char* name : {"BM_CheckValidity", "BM_CheckValidityAnchorPerCheck"}) {
      if (reporter.seconds.count(name) != 0) {
        std::printf("codesign_%s_10MB_vs_raw_sha256_ratio %.3f\n", name + 3,
                    reporter.seconds[name] / raw);
      }
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
