// The helper's log export against a bare SQLite query of the same 500 rows, on a store of
// 1,000,000 entries of four subsystems. The store is built once (about 10 s) into the temporary
// directory and reused by later runs.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "bench/log_bench_util.h"
#include "logs/fetch_helper_logs_since_iso.h"
#include "logs/log_timestamp.h"
#include "platform/identity.h"
#include "platform/log/log_store.h"

namespace {

namespace fs = std::filesystem;

constexpr int kEntries = 1'000'000;
constexpr std::int64_t kStart = 1772356542LL * 1'000'000'000;  // 2026-03-01T09:15:42Z
constexpr std::int64_t kStep = 1'000'000;                      // 1 ms between entries
const char* const kSubsystems[] = {"app.tamsel.TamselHelper", "app.tamsel.Tamsel",
                                   "com.example.other", "app.tamsel.TamselHelperX"};
// Half-way through the store: plenty of newer helper entries.
const std::string kSince = "2026-03-01T09:24:02.000Z";
constexpr std::int64_t kSinceNs = kStart + 500'000 * kStep;

std::string storePath() {
  return (fs::temp_directory_path() / "tamsel-log-bench" / "store-1m-v1.sqlite3").string();
}

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    std::exit(1);
  }
}

std::int64_t countEntries(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return -1;
  }
  sqlite3_stmt* st = nullptr;
  std::int64_t n = -1;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM entries", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    n = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

// The store's own schema and settings come from LogStore::open; the rows go in as one
// transaction, which the store itself never does, only to build the fixture quickly.
void buildStoreOnce(const std::string& path) {
  if (countEntries(path) == kEntries) return;
  fs::remove(path);
  fs::remove(path + "-wal");
  fs::remove(path + "-shm");
  std::fprintf(stderr, "building %s (%d entries)...\n", path.c_str(), kEntries);
  if (auto store = tamsel::log::LogStore::open(path); !store) {
    std::fprintf(stderr, "%s\n", store.error().description.c_str());
    std::exit(1);
  }
  sqlite3* db = nullptr;
  check(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), db, "open");
  check(sqlite3_exec(db, "PRAGMA journal_mode=WAL; BEGIN", nullptr, nullptr, nullptr), db, "begin");
  sqlite3_stmt* st = nullptr;
  check(sqlite3_prepare_v2(db,
                           "INSERT INTO entries(time, level, subsystem, category, message) "
                           "VALUES(?1,?2,?3,'helper',?4)",
                           -1, &st, nullptr),
        db, "prepare");
  char message[160];
  for (int i = 0; i < kEntries; ++i) {
    const int n = std::snprintf(message, sizeof message,
                                "installResolver: tld=test%d, address=127.0.0.1, port=%d "
                                "and a \"quoted\" path /Users/someone/Library/%d",
                                i, 5300 + i % 100, i);
    sqlite3_bind_int64(st, 1, kStart + std::int64_t{i} * kStep + i % 7);
    sqlite3_bind_int(st, 2, 1 + i % 5);
    sqlite3_bind_text(st, 3, kSubsystems[i % 4], -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 4, message, n, SQLITE_STATIC);
    check(sqlite3_step(st), db, "insert");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  check(sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr), db,
        "commit");
  sqlite3_close(db);
}

// As in the daemon, the store is held open for writing while exports read it.
const std::string& fixture() {
  static std::shared_ptr<tamsel::log::LogStore> writer;
  static const std::string path = [] {
    std::string p = storePath();
    fs::create_directories(fs::path(p).parent_path());
    buildStoreOnce(p);
    auto store = tamsel::log::LogStore::open(p);
    if (!store) {
      std::fprintf(stderr, "%s\n", store.error().description.c_str());
      std::exit(1);
    }
    writer = std::move(store).value();
    return p;
  }();
  return path;
}

void BM_Export500(benchmark::State& state) {
  const std::string& path = fixture();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::optional<std::string> out = tamsel::fetchHelperLogsSinceISOFromStore(path, kSince).text;
    if (!out || std::count(out->begin(), out->end(), '\n') != 499) {
      state.SkipWithError("export did not return 500 lines");
      break;
    }
    bytes += out->size();
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * 500);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// Reads the same 500 rows and touches every column the export uses.
std::size_t bareQuery(sqlite3* db, sqlite3_stmt* st) {
  sqlite3_bind_text(st, 1, tamsel::kHelperIdentifier.data(),
                    static_cast<int>(tamsel::kHelperIdentifier.size()), SQLITE_STATIC);
  sqlite3_bind_int64(st, 2, kSinceNs + 1'000'000);
  std::size_t rows = 0, sum = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    sum += static_cast<std::size_t>(sqlite3_column_int64(st, 0) + sqlite3_column_int(st, 1));
    sum += static_cast<std::size_t>(sqlite3_column_bytes(st, 2)) +
           static_cast<unsigned char>(*sqlite3_column_text(st, 2));
    ++rows;
  }
  sqlite3_reset(st);
  benchmark::DoNotOptimize(sum);
  (void)db;
  return rows;
}

constexpr const char* kBareSql =
    "SELECT time, level, message FROM entries WHERE subsystem = ?1 AND time >= ?2 "
    "ORDER BY time LIMIT 500";

// Like the export, opens the store for every call.
void BM_BareQueryOpenEachCall(benchmark::State& state) {
  const std::string& path = fixture();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, kBareSql, -1, &st, nullptr);
    if (bareQuery(db, st) != 500) {
      state.SkipWithError("bare query did not return 500 rows");
      break;
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
  }
  state.SetItemsProcessed(state.iterations() * 500);
}

// The floor: a connection and a statement kept open across calls.
void BM_BareQueryOpenConnection(benchmark::State& state) {
  const std::string& path = fixture();
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, kBareSql, -1, &st, nullptr);
  for (auto _ : state) {
    if (bareQuery(db, st) != 500) {
      state.SkipWithError("bare query did not return 500 rows");
      break;
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * 500);
}

BENCHMARK(BM_Export500)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_BareQueryOpenEachCall)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_BareQueryOpenConnection)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  fixture();  // built before any timing
  tamsel::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio("log_export_500_vs_bare_query_open_each_call_ratio", "BM_Export500",
                      "BM_BareQueryOpenEachCall");
  reporter.printRatio("log_export_500_vs_bare_query_open_connection_ratio", "BM_Export500",
                      "BM_BareQueryOpenConnection");
  benchmark::Shutdown();
  return 0;
}
