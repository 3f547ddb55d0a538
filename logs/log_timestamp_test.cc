#include "logs/log_timestamp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace tamsel {
namespace {

LogTime at(std::int64_t ns) {
  return LogTime(std::chrono::nanoseconds(ns));
}

// 2026-03-01T09:15:42Z
constexpr std::int64_t kBase = 1772356542LL * 1'000'000'000;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(LogTimestamp, FormatsUtcWithTruncatedMilliseconds) {
  const std::pair<std::int64_t, std::string_view> cases[] = {
      {kBase + 123'999'999, "2026-03-01T09:15:42.123Z"},
      {-1, "1969-12-31T23:59:59.999Z"},  // floor, not toward zero
      {951782400LL * 1'000'000'000, "2000-02-29T00:00:00.000Z"},
      {kMax, "2262-04-11T23:47:16.854Z"},
      {kMin, "1677-09-21T00:12:43.145Z"},
  };
  for (const auto& [ns, text] : cases)
    EXPECT_EQ(fractionalTimestampFormatter().format(at(ns)), text);
  EXPECT_EQ(plainTimestampFormatter().format(at(kBase + 999'000'000)), "2026-03-01T09:15:42Z");
}

TEST(LogTimestamp, ParsesBothFormsAndOffsetsAndClampsTheRange) {
  const std::pair<std::string_view, std::int64_t> cases[] = {
      {"2026-03-01T09:15:42Z", kBase},
      {"2026-03-01T09:15:42.000Z", kBase},
      {"2026-03-01T09:15:42.5Z", kBase + 500'000'000},
      {"2026-03-01T09:15:42.123456789123Z", kBase + 123'456'789},
      {"2026-03-01T10:15:42+01:00", kBase},
      {"2026-03-01T03:45:42.000-05:30", kBase},
      {"2026-03-01T09:15:42-00:00", kBase},
      {"2026-03-02T00:00:00+14:44", kBase + 18'000'000'000},
      {"2024-02-29T23:59:59Z", 1709251199LL * 1'000'000'000},
      {"0001-01-01T00:00:00Z", kMin},
      {"9999-12-31T23:59:59.999Z", kMax},
      {"2262-04-11T23:47:16.854775808Z", kMax},
  };
  for (const auto& [text, ns] : cases) EXPECT_EQ(parseLogTimestamp(text), at(ns)) << text;
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

}  // namespace
}  // namespace tamsel
