// Writing log entries from 8 threads at once through Logger into the log store, against bare
// SQLite inserts (one shared connection, one transaction per row, the store's settings).
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/log_bench_util.h"
#include "platform/log/log_store.h"
#include "platform/log/logger.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;
constexpr int kPerThread = 500;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "tamsel-logw.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() { fs::remove_all(path_); }
  std::string file(const char* name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// Runs body(thread) on kThreads threads at once; returns the wall time in seconds.
template <typename F>
double runThreads(F body) {
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
  for (auto& th : threads) th.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void storeWrites(benchmark::State& state, std::uint64_t maxBytes) {
  ScratchDir dir;
  auto store = tamsel::log::LogStore::open(dir.file("log.sqlite3"), maxBytes);
  if (!store) {
    state.SkipWithError(store.error().description.c_str());
    return;
  }
  const tamsel::log::Logger logger("app.tamsel.TamselHelper", "helper", *store);
  for (auto _ : state) {
    state.SetIterationTime(runThreads([&](int t) {
      for (int i = 0; i < kPerThread; ++i) {
        logger.info("installResolver: tld=%{public}s, address=%{public}s, port=%ld", "test",
                    "127.0.0.1", std::int64_t{t * 100000 + i});
      }
    }));
  }
  state.SetItemsProcessed(state.iterations() * kThreads * kPerThread);
}

void BM_StoreWrite8Threads(benchmark::State& state) {
  storeWrites(state, tamsel::log::kMaxStoreBytes);
}

// The same with the store at its bound, pruning as it goes (about 2,000 entries fit).
void BM_StoreWrite8ThreadsPruning(benchmark::State& state) {
  storeWrites(state, 320 * 1024);
}

void BM_BareInsert8Threads(benchmark::State& state) {
  ScratchDir dir;
  const std::string path = dir.file("bare.sqlite3");
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE entries(id INTEGER PRIMARY KEY, time INTEGER NOT NULL,"
               " level INTEGER NOT NULL, subsystem TEXT NOT NULL, category TEXT NOT NULL,"
               " message TEXT NOT NULL);"
               "CREATE INDEX entries_by_subsystem_time ON entries(subsystem, time);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO entries(time, level, subsystem, category, message) "
                     "VALUES(?1,?2,?3,?4,?5)",
                     -1, &st, nullptr);
  std::mutex mu;
  bool failed = false;
  for (auto _ : state) {
    state.SetIterationTime(runThreads([&](int t) {
      char message[128];
      for (int i = 0; i < kPerThread; ++i) {
        const int n =
            std::snprintf(message, sizeof message, "installResolver: tld=%s, address=%s, port=%ld",
                          "test", "127.0.0.1", static_cast<long>(t * 100000 + i));
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        std::lock_guard lock(mu);
        sqlite3_bind_int64(st, 1,
                           std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
        sqlite3_bind_int(st, 2, 2);
        sqlite3_bind_text(st, 3, "app.tamsel.TamselHelper", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 4, "helper", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 5, message, n, SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_DONE) failed = true;
        sqlite3_reset(st);
      }
    }));
  }
  if (failed) state.SkipWithError("bare insert failed");
  sqlite3_finalize(st);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kThreads * kPerThread);
}

BENCHMARK(BM_StoreWrite8Threads)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StoreWrite8ThreadsPruning)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_BareInsert8Threads)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tamsel::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  constexpr double kBatch = kThreads * kPerThread;
  for (const char* name :
       {"BM_StoreWrite8Threads", "BM_StoreWrite8ThreadsPruning", "BM_BareInsert8Threads"}) {
    if (reporter.time(name) > 0) {
      std::printf("%s_entries_per_second %.0f\n", name, kBatch / (reporter.time(name) / 1e3));
    }
  }
  // Time per entry of the store over that of the bare inserts: below 1 is faster than bare.
  reporter.printRatio("log_write_8_threads_vs_bare_insert_ratio", "BM_StoreWrite8Threads",
                      "BM_BareInsert8Threads");
  reporter.printRatio("log_write_8_threads_pruning_vs_bare_insert_ratio",
                      "BM_StoreWrite8ThreadsPruning", "BM_BareInsert8Threads");
  benchmark::Shutdown();
  return 0;
}
