// The log export through the client against the real daemon: the entry lines other operations
// wrote come back in order, one JSON object per line, and the ts of the last line gives nothing
// newer. Paging and the forms of since are the export's unit tests.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/helper_client.h"
#include "logs/log_timestamp.h"
#include "platform/json_string.h"

namespace tamsel::systemtest {
namespace {

TEST(LogExportSystemTest, EntryLinesOfOtherOperationsComeBackInOrder) {
  auto helper = client::HelperClient::connect();
  ASSERT_TRUE(helper) << helper.error().description;
  // Everything logged after since is ours: the tests run one at a time.
  const std::string since = fractionalTimestampFormatter().format(
      std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now()));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(helper->installResolver("logexport", "127.0.0.1", 5353));
  ASSERT_TRUE(helper->openListeningSocket(30, 0));
  ASSERT_TRUE(helper->chownTamselDataDir("/nowhere/\"quoted\"\nline", 501));
  ASSERT_TRUE(helper->ping());  // logs nothing
  ASSERT_TRUE(helper->helperVersion());

  auto all = helper->fetchHelperLogsSinceISO(since);
  ASSERT_TRUE(all && all->text) << (all ? all->message.value_or("") : all.error().description);
  std::string expected, lastTs, previousTs = since;
  for (const std::string message : {"installResolver: tld=logexport, address=127.0.0.1, port=5353",
                                    "openListeningSocket: family=30, port=0",
                                    "chownTamselDataDir: path=/nowhere/\"quoted\"\nline, toUid=501",
                                    "helperVersion: " TAMSEL_EXPECTED_VERSION}) {
    if (!expected.empty()) expected += '\n';
    // Each line's ts, taken from where the export put it, must not go back in time.
    const std::size_t at = all->text->find("{\"ts\":\"", expected.size());
    lastTs = at == std::string::npos ? "" : all->text->substr(at + 7, 24);
    EXPECT_GE(lastTs, previousTs);
    previousTs = lastTs;
    expected += "{\"ts\":\"" + lastTs + "\",\"level\":\"info\",\"message\":";
    EXPECT_TRUE(appendJsonString(expected, message));
    expected += "}";
  }
  EXPECT_EQ(*all->text, expected);
  auto none = helper->fetchHelperLogsSinceISO(lastTs);
  ASSERT_TRUE(none && none->text);
  EXPECT_EQ(*none->text, "");
  ASSERT_TRUE(helper->removeResolver("logexport"));
}

}  // namespace
}  // namespace tamsel::systemtest
