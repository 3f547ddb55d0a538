#include "logs/log_timestamp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace tamsel {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

LogTime at(std::int64_t ns) {
  return LogTime(nanoseconds(ns));
}

// 2026-03-01T09:15:42Z
constexpr std::int64_t kBase = 1772356542LL * 1'000'000'000;

TEST(LogTimestamp, FormatsUtcWithTruncatedMilliseconds) {
  const auto& f = fractionalTimestampFormatter();
  EXPECT_EQ(f.format(at(kBase + 123'999'999)), "2026-03-01T09:15:42.123Z");
  EXPECT_EQ(f.format(at(kBase)), "2026-03-01T09:15:42.000Z");
  EXPECT_EQ(plainTimestampFormatter().format(at(kBase + 999'000'000)), "2026-03-01T09:15:42Z");
  EXPECT_EQ(f.format(at(-1)), "1969-12-31T23:59:59.999Z");  // floor, not toward zero
  EXPECT_EQ(f.format(at(0)), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(f.format(at(951782400LL * 1'000'000'000)), "2000-02-29T00:00:00.000Z");
  EXPECT_EQ(f.format(at(std::numeric_limits<std::int64_t>::max())), "2262-04-11T23:47:16.854Z");
  EXPECT_EQ(f.format(at(std::numeric_limits<std::int64_t>::min())), "1677-09-21T00:12:43.145Z");
}

TEST(LogTimestamp, ParsesBothFormsAndOffsets) {
  EXPECT_EQ(parseLogTimestamp("2026-03-01T09:15:42Z"), at(kBase));
  EXPECT_EQ(parseLogTimestamp("2026-03-01T09:15:42.000Z"), at(kBase));
  EXPECT_EQ(parseLogTimestamp("2026-03-01T09:15:42.5Z"), at(kBase + 500'000'000));
  EXPECT_EQ(parseLogTimestamp("2026-03-01T09:15:42.123456789123Z"), at(kBase + 123'456'789));
  EXPECT_EQ(parseLogTimestamp("2026-03-01T10:15:42+01:00"), at(kBase));
  EXPECT_EQ(parseLogTimestamp("2026-03-01T03:45:42.000-05:30"), at(kBase));
  EXPECT_EQ(parseLogTimestamp("2026-03-01T09:15:42-00:00"), at(kBase));
  EXPECT_EQ(parseLogTimestamp("2026-03-02T00:00:00+14:44"),
            parseLogTimestamp("2026-03-01T09:16:00Z"));
  EXPECT_TRUE(parseLogTimestamp("2024-02-29T23:59:59Z"));
  // Each formatter reads only its own form.
  EXPECT_FALSE(fractionalTimestampFormatter().parse("2026-03-01T09:15:42Z"));
  EXPECT_FALSE(plainTimestampFormatter().parse("2026-03-01T09:15:42.000Z"));
}

TEST(LogTimestamp, RejectsEverythingElse) {
  for (const char* text : {"",
                           "2026-03-01",
                           "yesterday",
                           "2026-03-01T09:15:42",
                           "2026-03-01 09:15:42Z",
                           "2026-03-01t09:15:42Z",
                           "2026-03-01T09:15:42z",
                           "2026-03-01T09:15:42.Z",
                           "2026-03-01T09:15:42+0100",
                           "2026-03-01T09:15:42+01",
                           "2026-03-01T09:15:42+24:00",
                           "2026-03-01T09:15:42+01:60",
                           "2026-03-01T24:00:00Z",
                           "2026-03-01T09:60:00Z",
                           "2026-03-01T23:59:60Z",
                           "2026-02-29T09:15:42Z",
                           "2026-04-31T09:15:42Z",
                           "2026-13-01T09:15:42Z",
                           "2026-00-01T09:15:42Z",
                           "2026-03-00T09:15:42Z",
                           " 2026-03-01T09:15:42Z",
                           "2026-03-01T09:15:42Z ",
                           "+2026-03-01T09:15:42Z",
                           "2026-3-01T09:15:42Z",
                           "2026-03-01T09:15:42.123ZZ",
                           "2026-03-01T9:15:42Z",
                           "1900-02-29T00:00:00Z"}) {
    EXPECT_FALSE(parseLogTimestamp(text)) << text;
  }
  EXPECT_FALSE(parseLogTimestamp(std::string_view("2026-03-01T09:15:42Z\0", 21)));
}

TEST(LogTimestamp, InstantsBeyondTheRangeAreClamped) {
  EXPECT_EQ(parseLogTimestamp("0001-01-01T00:00:00Z"),
            at(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(parseLogTimestamp("9999-12-31T23:59:59.999Z"),
            at(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(parseLogTimestamp("2262-04-11T23:47:16.854775807Z"),
            at(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(parseLogTimestamp("2262-04-11T23:47:16.854775808Z"),
            at(std::numeric_limits<std::int64_t>::max()));
}

// Reading back a written ts gives the time truncated to the millisecond, across many dates.
TEST(LogTimestamp, WrittenTimestampsReadBackAtMillisecondPrecision) {
  std::int64_t t = std::numeric_limits<std::int64_t>::min() + 999'999;
  const std::int64_t step = 7'776'000'123'456'789;  // about 90 days, never a whole ms
  for (int i = 0; i < 2300; ++i, t += step) {
    const LogTime time = at(t);
    const auto back = parseLogTimestamp(fractionalTimestampFormatter().format(time));
    ASSERT_TRUE(back) << fractionalTimestampFormatter().format(time);
    EXPECT_EQ(*back, std::chrono::floor<milliseconds>(time)) << t;
  }
}

}  // namespace
}  // namespace tamsel
