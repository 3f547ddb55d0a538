#include "logs/fetch_helper_logs_since_iso.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "logs/log_timestamp.h"
#include "platform/identity.h"
#include "platform/log/log_store.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// 2026-03-01T09:15:42Z in nanoseconds.
constexpr std::int64_t kBase = 1772356542LL * 1'000'000'000;
constexpr std::int64_t kMs = 1'000'000;

using Reply = LogsReply;

class FetchHelperLogs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "logexport.XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    path_ = (dir_ / "log.sqlite3").string();
    auto store = log::LogStore::open(path_);
    ASSERT_TRUE(store.ok()) << store.error().description;
    store_ = std::move(store).value();
  }
  void TearDown() override {
    store_.reset();
    fs::remove_all(dir_);
  }

  void add(std::int64_t ns, std::string message, int level = 2,
           std::string_view subsystem = kHelperIdentifier) {
    log::Entry e;
    e.time = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(nanoseconds(ns)));
    e.level = static_cast<log::Level>(level);
    e.subsystem = std::string(subsystem);
    e.category = "helper";
    e.message = std::move(message);
    store_->write(e);
  }

  Reply fetchFrom(std::string_view path, const std::string& since) {
    return fetchHelperLogsSinceISOFromStore(path, since);
  }
  Reply fetch(const std::string& since) { return fetchFrom(path_, since); }

  // The text of a successful reply, split into lines (none for the empty text).
  static std::vector<std::string> lines(const Reply& r) {
    EXPECT_TRUE(r.text.has_value());
    EXPECT_FALSE(r.message.has_value());
    EXPECT_EQ(r.code, 0);
    std::vector<std::string> out;
    if (!r.text || r.text->empty()) return out;
    std::stringstream in(*r.text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    EXPECT_NE(r.text->back(), '\n');
    return out;
  }

  static std::string line(std::int64_t ns, std::string_view level, std::string_view jsonMessage) {
    return "{\"ts\":\"" + fractionalTimestampFormatter().format(LogTime(nanoseconds(ns))) +
           "\",\"level\":\"" + std::string(level) + "\",\"message\":" + std::string(jsonMessage) +
           "}";
  }

  static std::string tsOf(std::int64_t ns) {
    return fractionalTimestampFormatter().format(LogTime(nanoseconds(ns)));
  }

  fs::path dir_;
  std::string path_;
  std::shared_ptr<log::LogStore> store_;
};

TEST_F(FetchHelperLogs, SinceFormsWithAndWithoutFractionAndOffsetSelectTheSame) {
  add(kBase - kMs, "older");
  add(kBase, "at since");
  add(kBase + kMs / 2, "same millisecond as since");
  add(kBase + kMs, "newer");
  add(kBase + 2 * kMs, "other subsystem", 2, "app.tamsel.TamselHelperX");
  add(kBase + 3 * kMs, "newest", 4);
  const std::vector<std::string> expected = {line(kBase + kMs, "info", "\"newer\""),
                                             line(kBase + 3 * kMs, "error", "\"newest\"")};
  EXPECT_EQ(lines(fetch("2026-03-01T09:15:42Z")), expected);
  EXPECT_EQ(lines(fetch("2026-03-01T09:15:42.000Z")), expected);
  EXPECT_EQ(lines(fetch("2026-03-01T10:15:42+01:00")), expected);
  EXPECT_EQ(lines(fetch("2026-03-01T04:45:42.000-04:30")), expected);
  EXPECT_EQ(*fetch("2026-03-01T09:15:42Z").text, expected[0] + "\n" + expected[1]);
}

TEST_F(FetchHelperLogs, UnparsableSinceGivesEmptyTextWithoutOpeningTheStore) {
  add(kBase + kMs, "newer");
  const std::string missing = (dir_ / "absent" / "log.sqlite3").string();
  for (const std::string since : {"", "2026-03-01", "yesterday", "2026-03-01T09:15:42"}) {
    for (const std::string& path : {path_, missing}) {
      const Reply r = fetchFrom(path, since);
      ASSERT_TRUE(r.text.has_value()) << since;
      EXPECT_EQ(*r.text, "");
      EXPECT_FALSE(r.message.has_value());
      EXPECT_EQ(r.code, 0);
    }
  }
  // The same missing store with a valid since is a failure, so the store was never opened.
  EXPECT_FALSE(fetchFrom(missing, "2026-03-01T09:15:42Z").text.has_value());
}

TEST_F(FetchHelperLogs, NoNewerEntriesGivesEmptyTextNotNull) {
  add(kBase, "old");
  const Reply r = fetch("2030-01-01T00:00:00Z");
  EXPECT_TRUE(lines(r).empty());
  EXPECT_EQ(r.text, std::string());
}

// Passing back the ts of the last line never repeats it, nor anything else with that ts.
TEST_F(FetchHelperLogs, EntriesWithTheSinceTimestampAreNotExportedAgain) {
  add(kBase + 5 * kMs + 100, "first of the millisecond");
  add(kBase + 5 * kMs + 900'000, "second of the millisecond");
  add(kBase + 6 * kMs, "next");
  const auto all = lines(fetch("2026-03-01T09:15:42Z"));
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(lines(fetch(tsOf(kBase + 5 * kMs))),
            std::vector<std::string>{line(kBase + 6 * kMs, "info", "\"next\"")});
  EXPECT_TRUE(lines(fetch(tsOf(kBase + 6 * kMs))).empty());
}

TEST_F(FetchHelperLogs, MoreThan500NewerEntriesComeInPagesWithoutGapOrRepeat) {
  // 1200 entries, 1 ms apart, except that entries 499 and 500 share a millisecond: the page
  // boundary falls inside it.
  std::vector<std::int64_t> times;
  for (int i = 0; i < 1200; ++i) times.push_back(kBase + (i + 1) * kMs + (i == 500 ? -kMs + 7 : 0));
  for (std::size_t i = 0; i < times.size(); ++i) add(times[i], "entry " + std::to_string(i));
  add(kBase + 5000 * kMs, "elsewhere", 2, "app.tamsel");

  const auto first = lines(fetch("2026-03-01T09:15:42Z"));
  ASSERT_EQ(first.size(), 500u);
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(first[i], line(times[i], "info", "\"entry " + std::to_string(i) + "\"")) << i;
  }
  // Entry 500 has the same ts as the last line: by the rules it is in neither page.
  const auto second = lines(fetch(tsOf(times[499])));
  ASSERT_EQ(second.size(), 500u);
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(second[i], line(times[501 + i], "info", "\"entry " + std::to_string(501 + i) + "\""));
  }
  const auto third = lines(fetch(tsOf(times[1000])));
  ASSERT_EQ(third.size(), 199u);
  EXPECT_EQ(third.back(), line(times[1199], "info", "\"entry 1199\""));
}

TEST_F(FetchHelperLogs, MessagesAreEscapedAndEachEntryStaysOneLine) {
  add(kBase + kMs, "say \"hi\"\nto /tmp\\dir\ttab\x01");
  add(kBase + 2 * kMs, "caf\xC3\xA9");
  const auto got = lines(fetch("2026-03-01T09:15:42Z"));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], line(kBase + kMs, "info", R"("say \"hi\"\nto \/tmp\\dir\ttab\u0001")"));
  EXPECT_EQ(got[1], line(kBase + 2 * kMs, "info", "\"caf\xC3\xA9\""));
}

TEST_F(FetchHelperLogs, LevelNames) {
  const int levels[] = {0, 1, 2, 3, 4, 5, 17};
  const char* names[] = {"info", "debug", "info", "notice", "error", "fault", "info"};
  for (int i = 0; i < 7; ++i) add(kBase + (i + 1) * kMs, "m", levels[i]);
  const auto got = lines(fetch("2026-03-01T09:15:42Z"));
  ASSERT_EQ(got.size(), 7u);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(got[i], line(kBase + (i + 1) * kMs, names[i], "\"m\""));
}

// An entry whose message is not text (written by another writer) is left out and does not
// count towards the 500.
TEST_F(FetchHelperLogs, EntriesThatCannotBeWrittenAsJsonAreSkipped) {
  add(kBase + kMs, "bad \xFF byte");
  for (int i = 0; i < 500; ++i) add(kBase + (i + 2) * kMs, "ok");
  const auto got = lines(fetch("2026-03-01T09:15:42Z"));
  ASSERT_EQ(got.size(), 500u);
  EXPECT_EQ(got.front(), line(kBase + 2 * kMs, "info", "\"ok\""));
}

TEST_F(FetchHelperLogs, StoreFailuresAreReportedWithADescription) {
  const Reply missing = fetchFrom((dir_ / "absent.sqlite3").string(), "2026-03-01T09:15:42Z");
  EXPECT_FALSE(missing.text.has_value());
  ASSERT_TRUE(missing.message.has_value());
  EXPECT_EQ(missing.message->rfind("failed to read helper logs: ", 0), 0u);
  EXPECT_GT(missing.message->size(), std::string("failed to read helper logs: ").size());
  EXPECT_EQ(missing.code, 0);

  const fs::path garbage = dir_ / "garbage.sqlite3";
  std::ofstream(garbage) << std::string(8192, 'x');
  const Reply unreadable = fetchFrom(garbage.string(), "2026-03-01T09:15:42Z");
  EXPECT_FALSE(unreadable.text.has_value());
  ASSERT_TRUE(unreadable.message.has_value());
  EXPECT_EQ(*unreadable.message,
            "failed to read helper logs: cannot read log store: file is not a database");
  EXPECT_EQ(unreadable.code, 0);
}

}  // namespace
}  // namespace tamsel
