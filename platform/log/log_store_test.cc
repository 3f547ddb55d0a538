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
#include "platform/testing/file_size_limit.h"
#include "platform/testing/scratch_dir.h"

namespace tamsel::log {
namespace {

namespace fs = std::filesystem;

Entry entryAt(std::int64_t ns, std::string subsystem, std::string message,
              Level level = Level::kInfo) {
  using Clock = std::chrono::system_clock;
  return {Clock::time_point(std::chrono::nanoseconds(ns)), level, std::move(subsystem), "helper",
          std::move(message)};
}

struct Row {
  std::int64_t time;
  int level;
  std::string category;
  std::string message;
  bool operator==(const Row&) const = default;
};

std::vector<Row> readAll(const std::string& db, std::string_view subsystem,
                         std::int64_t since = 0) {
  std::vector<Row> rows;
  auto reader = LogReader::open(db);
  EXPECT_TRUE(reader.ok()) << (reader.ok() ? "" : reader.error().description);
  if (!reader) return rows;
  Status s = reader->forEachSince(subsystem, since, [&](const StoredEntry& e) {
    rows.push_back({e.time, e.level, std::string(e.category), std::string(e.message)});
    return true;
  });
  EXPECT_TRUE(s.ok());
  return rows;
}

// The bytes of database pages in use, which is what the store's bound counts.
std::uint64_t pagesInUse(const std::string& db) {
  sqlite3* raw = nullptr;
  sqlite3_stmt* st = nullptr;
  EXPECT_EQ(sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_prepare_v2(raw,
                     "SELECT (page_count - freelist_count) * page_size FROM pragma_page_count, "
                     "pragma_freelist_count, pragma_page_size",
                     -1, &st, nullptr);
  const std::int64_t used = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
  sqlite3_finalize(st);
  sqlite3_close(raw);
  return static_cast<std::uint64_t>(used);
}

TEST(LogStore, RoundTripSelectsOneSubsystemFromATimeOnInTimeOrder) {
  ScratchDir dir("logstore");
  const std::string db = dir.file("a/b/log.sqlite3");
  {
    auto store = LogStore::open(db);
    ASSERT_TRUE(store.ok()) << store.error().description;
    // Written out of time order, with a tie at 300 and another subsystem interleaved.
    (*store)->write(entryAt(300, "app.x", "third", Level::kError));
    (*store)->write(entryAt(100, "app.x", "first"));
    (*store)->write(entryAt(200, "app.xy", "other subsystem"));
  }
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat(db.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  auto store = LogStore::open(db);  // reopened: the entries are kept
  ASSERT_TRUE(store.ok());
  (*store)->write(entryAt(300, "app.x", "fourth\nwith \"quotes\" and \xC3\xA9"));
  (*store)->write(entryAt(200, "app.x", "second", Level::kFault));
  (*store)->write(entryAt(-5, "app.x", "before the epoch"));

  // "third" and "fourth" share a time: write order decides.
  EXPECT_EQ(readAll(db, "app.x", 100),
            (std::vector<Row>{{100, 2, "helper", "first"},
                              {200, 5, "helper", "second"},
                              {300, 4, "helper", "third"},
                              {300, 2, "helper", "fourth\nwith \"quotes\" and \xC3\xA9"}}));
  EXPECT_EQ(readAll(db, "app.x", std::numeric_limits<std::int64_t>::min()).front().time, -5);
  EXPECT_TRUE(readAll(db, "app.", 0).empty());

  // The visitor stops the enumeration.
  int seen = 0;
  ASSERT_TRUE(LogReader::open(db)
                  ->forEachSince("app.x", 0, [&](const StoredEntry&) { return ++seen < 2; })
                  .ok());
  EXPECT_EQ(seen, 2);
}

TEST(LogStore, RefusesADirectoryOthersCanWriteAndASymlinkedDatabase) {
  ScratchDir dir("logstore");
  const std::string open = dir.file("open");
  ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  auto refused = LogStore::open(open + "/log.sqlite3");
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().description.find("writable by other users"), std::string::npos);
  EXPECT_FALSE(fs::exists(open + "/log.sqlite3"));

  // A database path planted as a link to another file is not followed.
  std::ofstream(dir.file("target")) << "precious";
  fs::create_symlink(dir.file("target"), dir.file("log.sqlite3"));
  EXPECT_FALSE(LogStore::open(dir.file("log.sqlite3")).ok());
  EXPECT_EQ(ScratchDir::read(dir.file("target")), "precious");
}

// Mostly short entries and now and then a long one: the pages in use stay near the bound, the
// newest entries are kept without a gap, and a prune drops the oldest few, not everything.
TEST(LogStore, KeepsItsPagesInUseNearItsBoundByDroppingTheOldestEntries) {
  ScratchDir dir("logstore");
  const std::string db = dir.file("log.sqlite3");
  constexpr std::uint64_t kBound = 256 * 1024;
  auto store = LogStore::open(db, kBound);
  ASSERT_TRUE(store.ok());
  std::uint64_t most = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::size_t size = i % 40 == 0 ? 20000 : 100;
    (*store)->write(entryAt(i, "s", std::to_string(i) + std::string(size, 'm')));
    most = std::max(most, pagesInUse(db));
    if (i % 250 == 249) {
      const auto rows = readAll(db, "s");
      ASSERT_FALSE(rows.empty());
      EXPECT_EQ(rows.back().time, i);
      EXPECT_EQ(rows.front().time, i + 1 - static_cast<std::int64_t>(rows.size())) << i;
    }
  }
  EXPECT_LE(most, kBound + kBound / 8);
  EXPECT_GE(pagesInUse(db), kBound / 2);

  // A store opened with a smaller bound (another process, a new version) keeps it from its
  // first commit on.
  store = LogStore::open(db, kBound / 4);
  ASSERT_TRUE(store.ok());
  (*store)->write(entryAt(2000, "s", "after"));
  EXPECT_LE(pagesInUse(db), kBound / 4 + kBound / 8);
  EXPECT_EQ(readAll(db, "s").back().message, "after");
}

TEST(LogStore, ConcurrentWritersLoseNothingAndSeeTheirOwnWrites) {
  ScratchDir dir("logstore");
  const std::string db = dir.file("log.sqlite3");
  auto store = LogStore::open(db);
  ASSERT_TRUE(store.ok());
  constexpr int kThreads = 8, kPerThread = 150;
  std::atomic<int> notVisible{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto reader = LogReader::open(db);
      const std::string subsystem = "t" + std::to_string(t);
      for (int i = 0; i < kPerThread; ++i) {
        (*store)->write(entryAt(1000 + i, subsystem, std::to_string(i)));
        // Read-your-writes: once write() returned the entry is there.
        bool found = false;
        (void)reader->forEachSince(subsystem, 1000 + i, [&](const StoredEntry& e) {
          found = e.message == std::to_string(i);
          return false;
        });
        if (!found) ++notVisible;
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

// A store that cannot be written loses the entries, not the daemon: the loss is said once on
// standard error, and said again only after a write has succeeded in between.
TEST(LogStore, AFailingStoreSaysOnceThatEntriesAreLostUntilAWriteSucceeds) {
  ScratchDir dir("logstore");
  auto store = LogStore::open(dir.file("log.sqlite3"));
  ASSERT_TRUE(store.ok());
  // A pipe, not a file: the size limit below would stop the message too.
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
  const int savedStderr = ::dup(2);
  ::dup2(pipeFds[1], 2);
  int time = 0;
  for (const std::string message : {"kept", "lost", "lost", "kept", "lost"}) {
    std::optional<testing::FileSizeLimit> limit;
    if (message == "lost") limit.emplace(0);
    (*store)->write(entryAt(++time, "s", message));
  }
  ::dup2(savedStderr, 2);
  ::close(savedStderr);
  ::close(pipeFds[1]);
  std::string said(64 * 1024, '\0');
  said.resize(std::max<ssize_t>(::read(pipeFds[0], said.data(), said.size()), 0));
  ::close(pipeFds[0]);

  const std::string line = "<3>log store: entries are being lost: ";
  std::size_t count = 0;
  for (auto at = said.find(line); at != std::string::npos; at = said.find(line, at + 1)) ++count;
  EXPECT_EQ(count, 2u) << said;
  std::vector<std::string> messages;
  for (const Row& row : readAll(dir.file("log.sqlite3"), "s")) messages.push_back(row.message);
  EXPECT_EQ(messages, (std::vector<std::string>{"kept", "kept"}));
}

// A pooled reader must not keep serving a store that was removed or replaced at its path.
TEST(LogReaderPool, FollowsTheFileAtThePath) {
  ScratchDir dir("logstore");
  const std::string db = dir.file("log.sqlite3");
  LogReaderPool pool;
  const auto messages = [&]() -> std::optional<std::vector<std::string>> {
    std::vector<std::string> out;
    const auto keep = [&](const StoredEntry& e) { return out.emplace_back(e.message), true; };
    auto lease = pool.acquire(db);
    if (!lease || !(*lease)->forEachSince("s", 0, keep)) return std::nullopt;
    return out;
  };
  const auto removeStore = [&] {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db + suffix);
  };
  {
    auto store = LogStore::open(db);
    ASSERT_TRUE(store.ok());
    (*store)->write(entryAt(1, "s", "original"));
    EXPECT_EQ(messages(), std::vector<std::string>{"original"});
    (*store)->write(entryAt(2, "s", "appended"));  // a warm reader sees new commits
    EXPECT_EQ(messages(), (std::vector<std::string>{"original", "appended"}));
  }
  removeStore();
  EXPECT_EQ(messages(), std::nullopt);
  {
    auto store = LogStore::open(db);
    ASSERT_TRUE(store.ok());
    (*store)->write(entryAt(1, "s", "replacement"));
    EXPECT_EQ(messages(), std::vector<std::string>{"replacement"});
  }
}

}  // namespace
}  // namespace tamsel::log
