#include "logs/fetch_helper_logs_since_iso.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "logs/log_level_names.h"
#include "logs/log_timestamp.h"
#include "platform/identity.h"
#include "platform/ipc/wire_format.h"
#include "platform/log/log_store.h"
#include "platform/testing/reply_printers.h"
#include "platform/testing/scratch_dir.h"

namespace tamsel {
namespace {

// 2026-03-01T09:15:42Z in nanoseconds.
constexpr std::int64_t kBase = 1772356542LL * 1'000'000'000;
constexpr std::int64_t kMs = 1'000'000;
const std::string kSince = "2026-03-01T09:15:42Z";

std::string tsOf(std::int64_t ns) {
  return fractionalTimestampFormatter().format(LogTime(std::chrono::nanoseconds(ns)));
}

std::string line(std::int64_t ns, std::string_view level, std::string_view jsonMessage) {
  return "{\"ts\":\"" + tsOf(ns) + "\",\"level\":\"" + std::string(level) +
         "\",\"message\":" + std::string(jsonMessage) + "}";
}

class FetchHelperLogs : public ::testing::Test {
 protected:
  void add(std::int64_t ns, std::string message, int level = 2,
           std::string_view subsystem = kHelperIdentifier) {
    using Clock = std::chrono::system_clock;
    store_->write({Clock::time_point(std::chrono::nanoseconds(ns)), static_cast<log::Level>(level),
                   std::string(subsystem), "helper", std::move(message)});
  }

  LogsReply fetch(const std::string& since) {
    return fetchHelperLogsSinceISOFromStore(path_, since);
  }

  // The text of a successful reply, split into lines (none for the empty text).
  static std::vector<std::string> lines(const LogsReply& r) {
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

  ScratchDir dir_{"logexport"};
  std::string path_ = dir_.file("log.sqlite3");
  std::shared_ptr<log::LogStore> store_ = log::LogStore::open(path_).value();
};

TEST_F(FetchHelperLogs, EntriesOfTheHelperAfterTheSinceMillisecondInTimeOrder) {
  add(kBase - kMs, "older");
  add(kBase, "at since");
  add(kBase + kMs / 2, "same millisecond as since");
  add(kBase + kMs, "newer");
  add(kBase + 2 * kMs, "other subsystem", 2, "app.tamsel.TamselHelperX");
  add(kBase + 3 * kMs, "newest", 4);
  const std::vector<std::string> expected = {line(kBase + kMs, "info", "\"newer\""),
                                             line(kBase + 3 * kMs, "error", "\"newest\"")};
  EXPECT_EQ(lines(fetch("2026-03-01T10:15:42.000+01:00")), expected);
  EXPECT_EQ(fetch("2030-01-01T00:00:00Z").text, std::string());  // nothing newer: empty, not null
}

TEST_F(FetchHelperLogs, MoreThan500NewerEntriesComeInPagesWithoutGapOrRepeat) {
  // An entry whose message is not text (written by another writer) is left out and does not
  // count towards the 500.
  add(kBase + kMs, "bad \xFF byte");
  // 1200 entries, 1 ms apart, except that entries 499 and 500 share a millisecond: the page
  // boundary falls inside it.
  std::vector<std::int64_t> times;
  for (int i = 0; i < 1200; ++i) times.push_back(kBase + (i + 1) * kMs + (i == 500 ? -kMs + 7 : 0));
  for (std::size_t i = 0; i < times.size(); ++i) add(times[i], "entry " + std::to_string(i));

  const auto entries = [&](int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i)
      out.push_back(line(times[i], "info", "\"entry " + std::to_string(i) + "\""));
    return out;
  };
  EXPECT_EQ(lines(fetch(kSince)), entries(0, 500));
  // Entry 500 has the same ts as the last line: by the rules it is in neither page.
  EXPECT_EQ(lines(fetch(tsOf(times[499]))), entries(501, 1001));
  EXPECT_EQ(lines(fetch(tsOf(times[1000]))), entries(1001, 1200));
}

// A page ends before its text would not fit one reply frame; the next page goes on from there.
TEST_F(FetchHelperLogs, APageFitsOneReplyFrame) {
  const std::string controls(6000, '\x01');  // 36,000 bytes once escaped: 500 would not fit
  for (int i = 0; i < 500; ++i) add(kBase + (i + 1) * kMs, controls);
  const LogsReply first = fetch(kSince);
  const auto got = lines(first);
  ASSERT_LT(got.size(), 500u);
  EXPECT_GT(got.size(), 400u);
  EXPECT_LT(first.text->size(), ipc::wire::kMaxReplyBody);
  EXPECT_EQ(lines(fetch(tsOf(kBase + static_cast<std::int64_t>(got.size()) * kMs))).size(),
            500 - got.size());
}

TEST(LogLevelNames, EachLevelAndAnyOtherValue) {
  const std::pair<int, std::string_view> levels[] = {{0, "info"},   {1, "debug"}, {2, "info"},
                                                     {3, "notice"}, {4, "error"}, {5, "fault"},
                                                     {17, "info"}};
  for (const auto& [level, name] : levels) EXPECT_EQ(logLevelName(level), name) << level;
}

// A since that cannot be read gives the empty text without opening the store; a store that
// cannot be read is a failure with a description, and a reader never creates one.
TEST_F(FetchHelperLogs, BadSinceAndStoreFailures) {
  add(kBase + kMs, "newer");
  const std::string missing = dir_.file("absent/log.sqlite3"), garbage = dir_.file("garbage");
  std::ofstream(garbage) << std::string(8192, 'x');
  for (const std::string since : {"", "2026-03-01", "yesterday", "2026-03-01T09:15:42"}) {
    for (const std::string& path : {path_, missing}) {
      EXPECT_EQ(fetchHelperLogsSinceISOFromStore(path, since), (LogsReply{"", std::nullopt, 0}));
    }
  }
  EXPECT_EQ(
      fetchHelperLogsSinceISOFromStore(garbage, kSince),
      (LogsReply{std::nullopt,
                 "failed to read helper logs: cannot read log store: file is not a database", 0}));
  const LogsReply absent = fetchHelperLogsSinceISOFromStore(missing, kSince);
  EXPECT_EQ(
      absent.message.value_or("").rfind("failed to read helper logs: cannot open log store ", 0),
      0u);
  EXPECT_FALSE(absent.text || std::filesystem::exists(missing));
}

}  // namespace
}  // namespace tamsel
