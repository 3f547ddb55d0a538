// installedCLINeedsUpdate on two equal 256 MiB files (both in the page cache: the case where
// the tool is current and every byte must be compared) against bare comparisons in the same
// process: reading both files in chunks into buffers allocated once and comparing with memcmp
// (at several chunk sizes), and mapping both files and comparing the mappings. The variants
// alternate inside each iteration. Prints the rate of each (median of the iterations) and, last,
// the ratio of installedCLINeedsUpdate to the fastest bare comparison.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cli/reconcile_installed_cli.h"
#include "platform/unique_fd.h"

namespace {

using tamsel::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileBytes = std::size_t{256} << 20;
const std::string kDir = "/var/tmp/tamsel-cli-compare-bench." + std::to_string(::getpid());
const std::string kA = kDir + "/a";
const std::string kB = kDir + "/b";

bool writeEqualFiles() {
  ::mkdir(kDir.c_str(), 0700);
  std::vector<char> block(std::size_t{1} << 20);
  std::mt19937_64 random(7);
  for (const std::string& path : {kA, kB}) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) return false;
    random.seed(7);
    for (std::size_t done = 0; done < kFileBytes; done += block.size()) {
      for (std::size_t i = 0; i < block.size(); i += 8) {
        const std::uint64_t v = random();
        std::memcpy(block.data() + i, &v, 8);
      }
      if (::write(fd.get(), block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
        return false;
      }
    }
  }
  return true;
}

void removeFiles() {
  ::unlink(kA.c_str());
  ::unlink(kB.c_str());
  ::rmdir(kDir.c_str());
}

ssize_t readFully(int fd, char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Bare chunked comparison; buffers are allocated once per chunk size and reused.
bool bareChunked(std::size_t chunk) {
  static std::map<std::size_t, std::pair<std::unique_ptr<char[]>, std::unique_ptr<char[]>>> kept;
  auto& buffers = kept[chunk];
  if (!buffers.first) {
    buffers.first = std::make_unique<char[]>(chunk);
    buffers.second = std::make_unique<char[]>(chunk);
  }
  UniqueFd a(::open(kA.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd b(::open(kB.c_str(), O_RDONLY | O_CLOEXEC));
  for (;;) {
    const ssize_t na = readFully(a.get(), buffers.first.get(), chunk);
    const ssize_t nb = readFully(b.get(), buffers.second.get(), chunk);
    if (na != nb || na < 0) return false;
    if (na == 0) return true;
    if (std::memcmp(buffers.first.get(), buffers.second.get(), static_cast<std::size_t>(na)) != 0) {
      return false;
    }
  }
}

// Bare mapped comparison.
bool bareMapped() {
  UniqueFd a(::open(kA.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd b(::open(kB.c_str(), O_RDONLY | O_CLOEXEC));
  void* ma = ::mmap(nullptr, kFileBytes, PROT_READ, MAP_PRIVATE, a.get(), 0);
  void* mb = ::mmap(nullptr, kFileBytes, PROT_READ, MAP_PRIVATE, b.get(), 0);
  const bool same = ma != MAP_FAILED && mb != MAP_FAILED && std::memcmp(ma, mb, kFileBytes) == 0;
  if (ma != MAP_FAILED) ::munmap(ma, kFileBytes);
  if (mb != MAP_FAILED) ::munmap(mb, kFileBytes);
  return same;
}

const std::vector<std::size_t> kChunks = {std::size_t{64} << 10, std::size_t{256} << 10,
                                          std::size_t{1} << 20, std::size_t{4} << 20};

std::string chunkName(std::size_t chunk) {
  return chunk >= (1u << 20) ? std::to_string(chunk >> 20) + "MiB"
                             : std::to_string(chunk >> 10) + "KiB";
}

// Median seconds of each variant: the machine is shared, and a median ignores the iterations
// that another process's burst fell on.
std::map<std::string, double> gSeconds;

void BM_EqualFiles256MiB(benchmark::State& state) {
  std::map<std::string, std::vector<double>> spent;
  auto timed = [&spent](const std::string& name, auto&& compare) {
    const Clock::time_point t0 = Clock::now();
    const bool ok = compare();
    spent[name].push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    return ok;
  };
  for (auto _ : state) {
    bool ok = true;
    for (std::size_t chunk : kChunks) {
      ok &= timed("bare_read_" + chunkName(chunk), [chunk] { return bareChunked(chunk); });
    }
    ok &= timed("bare_mmap", bareMapped);
    ok &= timed("installedCLINeedsUpdate", [] { return !tamsel::installedCLINeedsUpdate(kA, kB); });
    if (!ok) {
      state.SkipWithError("a comparison found the equal files different");
      return;
    }
  }
  for (auto& [name, seconds] : spent) {
    std::nth_element(seconds.begin(), seconds.begin() + seconds.size() / 2, seconds.end());
    gSeconds[name] = seconds[seconds.size() / 2];
    state.counters[name + "_ms"] = 1e3 * gSeconds[name];
  }
}

BENCHMARK(BM_EqualFiles256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(15);

}  // namespace

int main(int argc, char** argv) {
  if (!writeEqualFiles()) {
    std::fprintf(stderr, "cannot write the files under %s\n", kDir.c_str());
    removeFiles();
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  removeFiles();
  if (gSeconds.count("installedCLINeedsUpdate") == 0) return 1;

  std::string fastest;
  for (const auto& [name, seconds] : gSeconds) {
    if (name.starts_with("bare_") && (fastest.empty() || seconds < gSeconds[fastest])) {
      fastest = name;
    }
  }
  const double gib = static_cast<double>(2 * kFileBytes) / (1u << 30);
  for (const auto& [name, seconds] : gSeconds) {
    std::printf("installed_cli_compare_%s_GiB_per_s %.2f\n", name.c_str(), gib / seconds);
  }
  std::printf("installed_cli_compare_fastest_bare %s\n", fastest.c_str());
  std::printf("installedCLINeedsUpdate_equal_256MiB_vs_fastest_bare_ratio %.3f\n",
              gSeconds["installedCLINeedsUpdate"] / gSeconds[fastest]);
  return 0;
}
