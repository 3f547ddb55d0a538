#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/log/logger.h"
#include "platform/testing/test_sink.h"

namespace tamsel::log {
namespace {

template <typename... A>
std::string fmt(std::string_view format, const A&... args) {
  return compose(format, {toArg(args)...});
}

// The conversions the daemon's entry lines use, and what keeps any format safe.
TEST(Compose, ConversionsInUseAndTheSafetyCases) {
  const std::pair<std::string, std::string_view> cases[] = {
      {fmt("installResolver: tld=%{public}s, address=%{public}s, port=%ld", "test", "127.0.0.1",
           std::int64_t{-53}),
       "installResolver: tld=test, address=127.0.0.1, port=-53"},
      {fmt("family=%ld, port=%hu", std::numeric_limits<std::int64_t>::min(), std::uint16_t{65535}),
       "family=-9223372036854775808, port=65535"},
      // Strings are private unless marked public; integers never are.
      {fmt("%s %{private}s %{public,private}s %{ public }s %{private}d", "a", "b", "c", "d", 42),
       "<private> <private> <private> d 42"},
      {fmt("%d%%", std::numeric_limits<std::uint64_t>::max()), "18446744073709551615%"},
      // Nothing is read past the arguments given; %n writes nothing.
      {fmt("%{public}s and %d and %*d", "one"), "one and <missing> and <missing>"},
      {fmt("%n%d", 1, 2), "2"},
      // What is not a conversion stays as written.
      {fmt("bad %k here %d, tail %", 3), "bad %k here 3, tail %"},
      {fmt("open %{public", "x"), "open %{public"},
  };
  for (const auto& [composed, expected] : cases) EXPECT_EQ(composed, expected);
  // A width cannot make a huge string.
  EXPECT_LE(fmt("%999999999d", 1).size(), 1100u);
  EXPECT_LE(fmt("%*d", std::numeric_limits<std::int64_t>::min(), 1).size(), 1100u);
}

TEST(Logger, WritesTheComposedEntryAsValidTextWithItsLevelAndNames) {
  auto sink = std::make_shared<TestSink>();
  Logger logger("app.test", "helper", sink);
  const auto before = std::chrono::system_clock::now();
  logger.info("chown: path=%{public}s, uid=%ld", "/home/u", std::int64_t{501});
  logger.fault("path=%{public}s", std::string_view("a\xFF\xC0z"));
  const std::string address(20'000, 'a');  // never cut
  logger.info("address=%{public}s", address);
  // Each bad byte becomes U+FFFD.
  EXPECT_EQ(sink->messages(),
            (std::vector<std::string>{"chown: path=/home/u, uid=501",
                                      "path=a\xEF\xBF\xBD\xEF\xBF\xBDz", "address=" + address}));
  const Entry first = sink->entries().at(0);
  EXPECT_EQ(std::tuple(first.level, first.subsystem, first.category),
            std::tuple(Level::kInfo, std::string("app.test"), std::string("helper")));
  EXPECT_GE(first.time, before);
  EXPECT_EQ(sink->entries().at(1).level, Level::kFault);
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
