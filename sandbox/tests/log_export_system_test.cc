// The log export through the client against the real daemon: the entry lines that other
// operations wrote come back in order, one JSON object per line, and paging by the last ts
// continues without a repeat.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/helper_client.h"
#include "logs/log_timestamp.h"
#include "platform/json_string.h"

namespace tamsel::systemtest {
namespace {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The line the export writes for an info entry, from its ts and message.
std::string expectedLine(const std::string& ts, const std::string& message) {
  std::string line = "{\"ts\":\"" + ts + "\",\"level\":\"info\",\"message\":";
  EXPECT_TRUE(appendJsonString(line, message));
  return line + "}";
}

std::string tsOf(const std::string& line) {
  const std::string key = "\"ts\":\"";
  const auto at = line.find(key);
  if (at == std::string::npos) return {};
  return line.substr(at + key.size(), 24);
}

TEST(LogExportSystemTest, EntryLinesOfOtherOperationsComeBackInOrderAndPageWithoutRepeats) {
  auto helper = client::HelperClient::connect();
  ASSERT_TRUE(helper) << helper.error().description;

  // Everything logged after since is ours: the tests run one at a time.
  const std::string since = fractionalTimestampFormatter().format(
      std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now()));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));

  ASSERT_TRUE(helper->installResolver("logexport", "127.0.0.1", 5353));
  ASSERT_TRUE(helper->removeResolver("logexport"));
  ASSERT_TRUE(helper->openListeningSocket(30, 0));
  ASSERT_TRUE(helper->chownTamselDataDir("/nowhere/\"quoted\"\nline", 501));
  ASSERT_TRUE(helper->helperVersion());
  ASSERT_TRUE(helper->ping());  // logs nothing
  const std::vector<std::string> messages = {
      "installResolver: tld=logexport, address=127.0.0.1, port=5353",
      "removeResolver: tld=logexport",
      "openListeningSocket: family=30, port=0",
      "chownTamselDataDir: path=/nowhere/\"quoted\"\nline, toUid=501",
      std::string("helperVersion: ") + TAMSEL_EXPECTED_VERSION,
  };

  auto all = helper->fetchHelperLogsSinceISO(since);
  ASSERT_TRUE(all);
  ASSERT_TRUE(all->text.has_value()) << all->message.value_or("");
  EXPECT_FALSE(all->message.has_value());
  EXPECT_EQ(all->code, 0);
  const std::vector<std::string> lines = splitLines(*all->text);
  ASSERT_EQ(lines.size(), messages.size()) << *all->text;
  std::string previousTs = since;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string ts = tsOf(lines[i]);
    EXPECT_EQ(lines[i], expectedLine(ts, messages[i]));
    EXPECT_GE(ts, previousTs);  // same-width UTC texts order as their instants
    previousTs = ts;
  }

  // Paging from the ts of a line sends only lines with a later ts, never that one again.
  const std::string pageFrom = tsOf(lines[1]);
  auto rest = helper->fetchHelperLogsSinceISO(pageFrom);
  ASSERT_TRUE(rest && rest->text);
  for (const std::string& line : splitLines(*rest->text)) EXPECT_GT(tsOf(line), pageFrom) << line;

  // The ts of the last line gives nothing newer; an unreadable since gives empty text.
  auto none = helper->fetchHelperLogsSinceISO(tsOf(lines.back()));
  ASSERT_TRUE(none && none->text);
  EXPECT_EQ(*none->text, "");
  auto unparsable = helper->fetchHelperLogsSinceISO("yesterday");
  ASSERT_TRUE(unparsable && unparsable->text);
  EXPECT_EQ(*unparsable->text, "");
  EXPECT_FALSE(unparsable->message.has_value());
}

}  // namespace
}  // namespace tamsel::systemtest
