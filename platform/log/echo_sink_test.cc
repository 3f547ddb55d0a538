#include "platform/log/echo_sink.h"

#include <fcntl.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/log/daemon_sink.h"
#include "platform/log/log_reader.h"
#include "platform/testing/scratch_dir.h"
#include "platform/unique_fd.h"

namespace tamsel::log {
namespace {

Entry entry(Level level, std::string message) {
  return {std::chrono::system_clock::now(), level, "app.tamsel.TamselHelper", "helper",
          std::move(message)};
}

TEST(EchoLine, PriorityPrefixPerLevel) {
  const std::pair<Level, std::string_view> cases[] = {
      {Level::kDebug, "<7>"}, {Level::kInfo, "<6>"},  {Level::kNotice, "<5>"},
      {Level::kError, "<3>"}, {Level::kFault, "<2>"}, {Level::kUndefined, "<6>"}};
  for (const auto& [level, prefix] : cases) {
    EXPECT_EQ(formatEchoLine(entry(level, "m")),
              std::string(prefix) + "[app.tamsel.TamselHelper:helper] m\n");
  }
}

// A message cannot forge a second journal line (with a higher priority) through the echo.
TEST(EchoLine, ControlCharactersCannotBreakTheLine) {
  EXPECT_EQ(formatEchoLine(entry(Level::kInfo, "a\n<0>forged\r\tb\\n\x01\x7f\xC3\xA9")),
            "<6>[app.tamsel.TamselHelper:helper] a\\n<0>forged\\r\\tb\\\\n\\x01\\x7f\xC3\xA9\n");
}

class DaemonSink : public ::testing::Test {
 protected:
  // The echo goes to a file here instead of standard error.
  ScratchDir dir_{"daemonsink"};
  UniqueFd echo_{::open(dir_.file("echo").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
  std::string echoed() const { return ScratchDir::read(dir_.file("echo")); }
};

TEST_F(DaemonSink, StoresAndEchoesEachEntry) {
  const std::string db = dir_.file("unified/log.sqlite3");
  Logger("app.tamsel.TamselHelper", "helper", openDaemonSink(db, echo_.get())).info("ping %d", 1);
  EXPECT_EQ(echoed(), "<6>[app.tamsel.TamselHelper:helper] ping 1\n");
  std::string stored;
  ASSERT_TRUE(LogReader::open(db)
                  ->forEachSince("app.tamsel.TamselHelper", 0,
                                 [&](const StoredEntry& e) { return stored = e.message, true; })
                  .ok());
  EXPECT_EQ(stored, "ping 1");
}

TEST_F(DaemonSink, WithoutAStoreKeepsEchoingAndSaysSoOnce) {
  // A regular file where the store's directory should be: it cannot be created.
  Logger logger("s", "c", openDaemonSink("/proc/self/status/unified/log.sqlite3", echo_.get()));
  logger.error("first");
  logger.info("second");
  const std::string out = echoed();
  EXPECT_EQ(out.rfind("<3>log store unavailable, logging to standard error only: ", 0), 0u) << out;
  EXPECT_NE(out.find("\n<3>[s:c] first\n<6>[s:c] second\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("unavailable", 60), std::string::npos);
}

}  // namespace
}  // namespace tamsel::log
