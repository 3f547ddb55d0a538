#include "platform/log/log_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/log/log_reader.h"
#include "platform/log/store_schema.h"

namespace tamsel::log {
namespace {

namespace fs = std::filesystem;
using std::chrono::nanoseconds;
using std::chrono::system_clock;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "logstore.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

Entry entryAt(std::int64_t ns, std::string subsystem, std::string message,
              Level level = Level::kInfo) {
  Entry e;
  e.time =
      system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(nanoseconds(ns)));
  e.level = level;
  e.subsystem = std::move(subsystem);
  e.category = "helper";
  e.message = std::move(message);
  return e;
}

struct Row {
  std::int64_t time;
  int level;
  std::string category;
  std::string message;
};

std::vector<Row> readAll(const fs::path& db, std::string_view subsystem, std::int64_t since = 0) {
  std::vector<Row> rows;
  auto reader = LogReader::open(db.string());
  EXPECT_TRUE(reader.ok()) << (reader.ok() ? "" : reader.error().description);
  if (!reader) return rows;
  Status s = reader->forEachSince(subsystem, since, [&](const StoredEntry& e) {
    rows.push_back({e.time, e.level, std::string(e.category), std::string(e.message)});
    return true;
  });
  EXPECT_TRUE(s.ok());
  return rows;
}

TEST(LogStore, RoundTripSelectsOneSubsystemFromATimeOnInTimeOrder) {
  TempDir dir;
  const fs::path db = dir.path() / "nested" / "log.sqlite3";
  auto store = LogStore::open(db.string());
  ASSERT_TRUE(store.ok()) << store.error().description;
  // Written out of time order, with a tie at 300 and another subsystem interleaved.
  (*store)->write(entryAt(300, "app.x", "third", Level::kError));
  (*store)->write(entryAt(100, "app.x", "first"));
  (*store)->write(entryAt(200, "app.xy", "other subsystem"));
  (*store)->write(entryAt(300, "app.x", "fourth\nwith \"quotes\" and \xC3\xA9"));
  (*store)->write(entryAt(200, "app.x", "second", Level::kFault));
  (*store)->write(entryAt(-5, "app.x", "before the epoch"));

  const auto rows = readAll(db, "app.x", 100);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].message, "first");
  EXPECT_EQ(rows[1].message, "second");
  EXPECT_EQ(rows[1].level, 5);
  EXPECT_EQ(rows[2].message, "third");  // same time as "fourth": write order decides
  EXPECT_EQ(rows[2].time, 300);
  EXPECT_EQ(rows[2].category, "helper");
  EXPECT_EQ(rows[3].message, "fourth\nwith \"quotes\" and \xC3\xA9");
  EXPECT_EQ(readAll(db, "app.x", std::numeric_limits<std::int64_t>::min()).front().time, -5);
  EXPECT_TRUE(readAll(db, "app.", 0).empty());

  // The visitor stops the enumeration.
  auto reader = LogReader::open(db.string());
  ASSERT_TRUE(reader.ok());
  int seen = 0;
  ASSERT_TRUE(
      reader->forEachSince("app.x", 0, [&](const StoredEntry&) { return ++seen < 2; }).ok());
  EXPECT_EQ(seen, 2);
}

TEST(LogStore, CreatesDirectory0755AndFile0600AndReopensWithEntries) {
  TempDir dir;
  const fs::path db = dir.path() / "a" / "b" / "log.sqlite3";
  {
    auto store = LogStore::open(db.string());
    ASSERT_TRUE(store.ok()) << store.error().description;
    (*store)->write(entryAt(1, "s", "kept"));
  }
  struct stat st {};
  ASSERT_EQ(::stat((dir.path() / "a" / "b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat(db.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  auto again = LogStore::open(db.string());
  ASSERT_TRUE(again.ok());
  (*again)->write(entryAt(2, "s", "added"));
  EXPECT_EQ(readAll(db, "s").size(), 2u);
}

TEST(LogStore, RefusesADirectoryOthersCanWriteAndASymlinkedDatabase) {
  TempDir dir;
  const fs::path open = dir.path() / "open";
  ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  auto refused = LogStore::open((open / "log.sqlite3").string());
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().description.find("writable by other users"), std::string::npos);
  EXPECT_FALSE(fs::exists(open / "log.sqlite3"));

  // A database path planted as a link to another file is not followed.
  const fs::path target = dir.path() / "target";
  std::ofstream(target) << "precious";
  fs::create_symlink(target, dir.path() / "log.sqlite3");
  EXPECT_FALSE(LogStore::open((dir.path() / "log.sqlite3").string()).ok());
  std::ifstream in(target);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "precious");
}

TEST(LogStore, KeepsAtMostMaxEntriesPruningTheOldest) {
  TempDir dir;
  const fs::path db = dir.path() / "log.sqlite3";
  LogStoreLimits limits;
  limits.maxEntries = 100;
  limits.pruneBatch = 10;
  auto store = LogStore::open(db.string(), limits);
  ASSERT_TRUE(store.ok());
  for (int i = 0; i < 1000; ++i) {
    (*store)->write(entryAt(i, "s", std::to_string(i)));
    if (i % 97 == 0 || i == 999) {
      const auto rows = readAll(db, "s");
      ASSERT_LE(rows.size(), 100u) << "after " << i;
      ASSERT_FALSE(rows.empty());
      // What is kept is always the newest entries, without a gap.
      EXPECT_EQ(rows.back().message, std::to_string(i));
      EXPECT_EQ(rows.front().time, i + 1 - static_cast<std::int64_t>(rows.size()));
    }
  }
  EXPECT_GE(readAll(db, "s").size(), 90u);  // prunes in batches, not down to nothing

  // A second store on the same file (another process) keeps the bound too.
  store = LogStore::open(db.string(), limits);
  ASSERT_TRUE(store.ok());
  for (int i = 1000; i < 1050; ++i) (*store)->write(entryAt(i, "s", std::to_string(i)));
  EXPECT_LE(readAll(db, "s").size(), 100u);
}

TEST(LogStore, KeepsTheBytesInUseBounded) {
  TempDir dir;
  const fs::path db = dir.path() / "log.sqlite3";
  LogStoreLimits limits;
  limits.maxBytes = 512 * 1024;
  auto store = LogStore::open(db.string(), limits);
  ASSERT_TRUE(store.ok());
  const std::string big(2000, 'm');
  for (int i = 0; i < 3000; ++i) (*store)->write(entryAt(i, "s", big));  // ~6 MB written
  const auto rows = readAll(db, "s");
  ASSERT_FALSE(rows.empty());
  EXPECT_LT(rows.size() * big.size(), 2u * limits.maxBytes);
  EXPECT_EQ(rows.back().time, 2999);
  EXPECT_LT(fs::file_size(db), 4u * limits.maxBytes);
}

TEST(LogStore, ConcurrentWritersLoseNothingAndSeeTheirOwnWrites) {
  TempDir dir;
  const fs::path db = dir.path() / "log.sqlite3";
  auto store = LogStore::open(db.string());
  ASSERT_TRUE(store.ok());
  constexpr int kThreads = 8, kPerThread = 150;
  std::atomic<int> notVisible{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto reader = LogReader::open(db.string());
      for (int i = 0; i < kPerThread; ++i) {
        const std::string subsystem = "t" + std::to_string(t);
        (*store)->write(entryAt(1000 + i, subsystem, std::to_string(i)));
        // Read-your-writes: once write() returned the entry is there.
        if (i % 10 == 0 && reader.ok()) {
          bool found = false;
          (void)reader->forEachSince(subsystem, 1000 + i, [&](const StoredEntry& e) {
            found = e.message == std::to_string(i);
            return false;
          });
          if (!found) ++notVisible;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(notVisible.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    const auto rows = readAll(db, "t" + std::to_string(t));
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(rows[i].message, std::to_string(i));
  }
}

// Every descriptor the store and the reader hold must be close-on-exec.
TEST(LogStore, DescriptorsAreCloseOnExec) {
  TempDir dir;
  const fs::path db = dir.path() / "log.sqlite3";
  auto store = LogStore::open(db.string());
  ASSERT_TRUE(store.ok());
  (*store)->write(entryAt(1, "s", "x"));
  auto reader = LogReader::open(db.string());
  ASSERT_TRUE(reader.ok());
  ASSERT_EQ(readAll(db, "s").size(), 1u);
  int checked = 0;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(fd.path(), ec);
    if (ec || target.string().rfind(dir.path().string(), 0) != 0) continue;
    std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
    std::string key, flags;
    while (info >> key >> flags && key != "flags:") {
    }
    ASSERT_EQ(key, "flags:");
    const unsigned long bits = std::stoul(flags, nullptr, 8);
    EXPECT_NE(bits & O_CLOEXEC, 0u) << target << " flags " << flags;
    ++checked;
  }
  EXPECT_GE(checked, 3);  // database, -wal and -shm at least
}

TEST(LogReader, FailuresCarryADescription) {
  TempDir dir;
  auto missing = LogReader::open((dir.path() / "none.sqlite3").string());
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().description.find("unable to open database file"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.path() / "none.sqlite3"));  // a reader never creates a store

  const fs::path garbage = dir.path() / "garbage";
  std::ofstream(garbage) << std::string(4096, 'g');
  auto notDb = LogReader::open(garbage.string());
  if (notDb.ok()) {
    Status s = notDb->forEachSince("s", 0, [](const StoredEntry&) { return true; });
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.error().description.find("not a database"), std::string::npos);
  }

  const fs::path empty = dir.path() / "empty.sqlite3";
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(empty.c_str(), &raw), SQLITE_OK);
  sqlite3_exec(raw, "CREATE TABLE other(x)", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  auto noTable = LogReader::open(empty.string());
  ASSERT_TRUE(noTable.ok());
  Status s = noTable->forEachSince("s", 0, [](const StoredEntry&) { return true; });
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.error().description.find("no such table"), std::string::npos);
}

TEST(LogReader, QueryReadsTheIndexInOrder) {
  TempDir dir;
  const fs::path db = dir.path() / "log.sqlite3";
  ASSERT_TRUE(LogStore::open(db.string()).ok());
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  const std::string sql = std::string("EXPLAIN QUERY PLAN ") + detail::kEntriesSinceQuery;
  ASSERT_EQ(sqlite3_prepare_v2(raw, sql.c_str(), -1, &st, nullptr), SQLITE_OK);
  std::string plan;
  while (sqlite3_step(st) == SQLITE_ROW) {
    plan += reinterpret_cast<const char*>(sqlite3_column_text(st, 3));
    plan += "\n";
  }
  sqlite3_finalize(st);
  sqlite3_close(raw);
  EXPECT_NE(plan.find("entries_by_subsystem_time"), std::string::npos) << plan;
  EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
}

// A pooled reader must not keep serving a store that was removed or replaced at its path.
TEST(LogReaderPool, FollowsTheFileAtThePath) {
  TempDir dir;
  const fs::path db = dir.path() / "log.sqlite3";
  LogReaderPool pool;
  const auto messages = [&]() -> std::optional<std::vector<std::string>> {
    auto lease = pool.acquire(db.string());
    if (!lease) return std::nullopt;
    std::vector<std::string> out;
    if (!(*lease)->forEachSince("s", 0, [&](const StoredEntry& e) {
          out.emplace_back(e.message);
          return true;
        })) {
      return std::nullopt;
    }
    return out;
  };
  const auto removeStore = [&] {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
  };
  {
    auto store = LogStore::open(db.string());
    ASSERT_TRUE(store.ok());
    (*store)->write(entryAt(1, "s", "original"));
    EXPECT_EQ(messages(), std::vector<std::string>{"original"});
    (*store)->write(entryAt(2, "s", "appended"));  // a warm reader sees new commits
    EXPECT_EQ(messages(), (std::vector<std::string>{"original", "appended"}));
  }
  removeStore();
  EXPECT_EQ(messages(), std::nullopt);
  {
    auto store = LogStore::open(db.string());
    ASSERT_TRUE(store.ok());
    (*store)->write(entryAt(1, "s", "replacement"));
    EXPECT_EQ(messages(), std::vector<std::string>{"replacement"});
  }
  removeStore();
  EXPECT_EQ(messages(), std::nullopt);
}

TEST(LogReaderPool, LendsEachReaderToOneCallerAtATime) {
  TempDir dir;
  const fs::path db = dir.path() / "log.sqlite3";
  ASSERT_TRUE(LogStore::open(db.string()).ok());
  LogReaderPool pool(2);
  auto a = pool.acquire(db.string());
  auto b = pool.acquire(db.string());
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(&**a, &**b);
  LogReader* first = &**a;
  { auto released = std::move(a).value(); }
  auto c = pool.acquire(db.string());
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(&**c, first);  // returned to the pool and lent again
}

}  // namespace
}  // namespace tamsel::log
