#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include <mutex>
#include <vector>
#include "platform/log/logger.h"
#include "platform/testing/test_sink.h"

namespace tamsel::log {
namespace {

template <typename... A>
std::string fmt(std::string_view format, const A&... args) {
  return compose(format, {toArg(args)...});
}

TEST(Compose, PublicStringsAppearAndOthersAreRedacted) {
  EXPECT_EQ(fmt("installResolver: tld=%{public}s, address=%{public}s, port=%ld", "test",
                "127.0.0.1", std::int64_t{53}),
            "installResolver: tld=test, address=127.0.0.1, port=53");
  EXPECT_EQ(fmt("a=%s b=%{private}s c=%{public}@ d=%{ public , name=x }s", "secret", "hidden",
                "shown", "spaced"),
            "a=<private> b=<private> c=shown d=spaced");
  // "private" wins over "public" whichever comes first.
  EXPECT_EQ(fmt("%{public,private}s", "x"), "<private>");
}

TEST(Compose, IntegersAreNeverRedactedAndKeepTheirValue) {
  EXPECT_EQ(fmt("%hu %d %ld %lu %{private}d", std::uint16_t{65535}, -7, std::int64_t{-1},
                std::uint64_t{18446744073709551615u}, 42),
            "65535 -7 -1 18446744073709551615 42");
  // An unsigned value under %d prints as the value it is, not negative.
  EXPECT_EQ(fmt("%d", std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(fmt("%lld", std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(fmt("%x %#o %5d|%-4d|%03d", 255, 8, 42, 7, 5), "ff 010    42|7   |005");
}

TEST(Compose, PercentSignsAndText) {
  EXPECT_EQ(fmt("100%% done, %d%%", 50), "100% done, 50%");
  EXPECT_EQ(fmt(""), "");
  EXPECT_EQ(fmt("no conversions", 1, "x"), "no conversions");
}

TEST(Compose, MismatchedKindsStillPrintTheArgument) {
  EXPECT_EQ(fmt("%{public}s", std::int64_t{12}), "12");
  EXPECT_EQ(fmt("%d", "secret"), "<private>");
  EXPECT_EQ(fmt("%{public}d", "shown"), "shown");
  EXPECT_EQ(fmt("%.2f %g %d", 1.5, 2.0, 2.5), "1.50 2 2.5");
}

TEST(Compose, MissingArgumentsNeverReadPastTheEnd) {
  EXPECT_EQ(fmt("%{public}s and %d and %s", "one"), "one and <missing> and <missing>");
  EXPECT_EQ(fmt("%*d"), "<missing>");
  EXPECT_EQ(fmt("%.*s|%*d", 3), "<missing>|<missing>");
}

TEST(Compose, MalformedSpecificationsAreKeptAsWritten) {
  EXPECT_EQ(fmt("tail %", 1), "tail %");
  EXPECT_EQ(fmt("open %{public", "x"), "open %{public");
  EXPECT_EQ(fmt("bad %k here %d", 3), "bad %k here 3");
  EXPECT_EQ(fmt("%l", 3), "%l");
  EXPECT_EQ(fmt("%n%d", 1, 2), "2");  // %n consumes, writes nothing
}

TEST(Compose, WidthAndPrecisionAreBounded) {
  const std::string wide = fmt("%999999999d", 1);
  EXPECT_LE(wide.size(), 1100u);
  EXPECT_EQ(wide.back(), '1');
  EXPECT_LE(fmt("%*d", std::numeric_limits<std::int64_t>::min(), 1).size(), 1100u);
  EXPECT_EQ(fmt("%{public}.3s|%{public}-5s|%{public}.*s", "abcdef", "ab", 2, "xyz"),
            "abc|ab   |xy");
}

TEST(Logger, WritesComposedEntryWithItsLevelAndNames) {
  auto sink = std::make_shared<TestSink>();
  Logger logger("app.test", "helper", sink);
  const auto before = std::chrono::system_clock::now();
  logger.info("chown: path=%{public}s, uid=%ld", "/home/u", std::int64_t{501});
  logger.fault("broken %d", 1);
  const auto entries = sink->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, "chown: path=/home/u, uid=501");
  EXPECT_EQ(entries[0].level, Level::kInfo);
  EXPECT_EQ(entries[0].subsystem, "app.test");
  EXPECT_EQ(entries[0].category, "helper");
  EXPECT_GE(entries[0].time, before);
  EXPECT_EQ(entries[1].level, Level::kFault);
}

TEST(Logger, StoresOnlyValidBoundedText) {
  auto sink = std::make_shared<TestSink>();
  Logger logger("s", "c", sink);
  logger.info("path=%{public}s", std::string_view("a\xFF\xC0z"));
  logger.info("%{public}s", std::string(100000, 'x'));
  const auto entries = sink->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, "path=a\xEF\xBF\xBD\xEF\xBF\xBDz");
  EXPECT_LE(entries[1].message.size(), 16u * 1024);
  EXPECT_EQ(entries[1].message.substr(0, 10), "xxxxxxxxxx");
}

TEST(Logger, UsesTheDefaultSinkAtTheTimeOfWriting) {
  Logger logger("s", "c");
  auto first = std::make_shared<TestSink>();
  auto second = std::make_shared<TestSink>();
  setDefaultSink(first);
  logger.info("one");
  setDefaultSink(second);
  logger.info("two");
  setDefaultSink(nullptr);
  EXPECT_EQ(first->messages(), std::vector<std::string>{"one"});
  EXPECT_EQ(second->messages(), std::vector<std::string>{"two"});
}

}  // namespace
}  // namespace tamsel::log
