#include "platform/log/echo_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/log/daemon_sink.h"
#include "platform/log/log_reader.h"
#include "platform/unique_fd.h"

namespace tamsel::log {
namespace {

Entry entry(Level level, std::string message) {
  Entry e;
  e.time = std::chrono::system_clock::now();
  e.level = level;
  e.subsystem = "app.tamsel.TamselHelper";
  e.category = "helper";
  e.message = std::move(message);
  return e;
}

// Everything written to the pipe's write end so far.
std::string drain(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    read.reset(fds[0]);
    write.reset(fds[1]);
  }
  UniqueFd read, write;
};

TEST(EchoLine, PriorityPrefixPerLevel) {
  EXPECT_EQ(formatEchoLine(entry(Level::kDebug, "d")), "<7>[app.tamsel.TamselHelper:helper] d\n");
  EXPECT_EQ(formatEchoLine(entry(Level::kInfo, "i")).substr(0, 3), "<6>");
  EXPECT_EQ(formatEchoLine(entry(Level::kNotice, "n")).substr(0, 3), "<5>");
  EXPECT_EQ(formatEchoLine(entry(Level::kError, "e")).substr(0, 3), "<3>");
  EXPECT_EQ(formatEchoLine(entry(Level::kFault, "f")).substr(0, 3), "<2>");
  EXPECT_EQ(formatEchoLine(entry(Level::kUndefined, "u")).substr(0, 3), "<6>");
}

// A message cannot forge a second journal line (with a higher priority) through the echo.
TEST(EchoLine, ControlCharactersCannotBreakTheLine) {
  const std::string line =
      formatEchoLine(entry(Level::kInfo, "a\n<0>forged\r\tb\\n\x01\x7f\xC3\xA9"));
  EXPECT_EQ(line,
            "<6>[app.tamsel.TamselHelper:helper] a\\n<0>forged\\r\\tb\\\\n\\x01\\x7f\xC3\xA9\n");
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(DaemonSink, StoresAndEchoesEachEntry) {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "daemonsink.XXXXXX").string();
  const fs::path dir = ::mkdtemp(pattern.data());
  const fs::path db = dir / "unified" / "log.sqlite3";
  Pipe pipe;
  {
    Logger logger("app.tamsel.TamselHelper", "helper",
                  openDaemonSink(db.string(), pipe.write.get()));
    logger.info("ping %d", 1);
  }
  EXPECT_EQ(drain(pipe.read.get()), "<6>[app.tamsel.TamselHelper:helper] ping 1\n");
  auto reader = LogReader::open(db.string());
  ASSERT_TRUE(reader.ok());
  std::string stored;
  ASSERT_TRUE(reader
                  ->forEachSince("app.tamsel.TamselHelper", 0,
                                 [&](const StoredEntry& e) {
                                   stored = e.message;
                                   return true;
                                 })
                  .ok());
  EXPECT_EQ(stored, "ping 1");
  fs::remove_all(dir);
}

TEST(DaemonSink, WithoutAStoreKeepsEchoingAndSaysSoOnce) {
  Pipe pipe;
  // A regular file where the store's directory should be: it cannot be created.
  const std::string blocked = "/proc/self/status/unified/log.sqlite3";
  auto sink = openDaemonSink(blocked, pipe.write.get());
  ASSERT_NE(sink, nullptr);
  Logger logger("s", "c", sink);
  logger.error("first");
  logger.info("second");
  const std::string out = drain(pipe.read.get());
  EXPECT_EQ(out.rfind("<3>log store unavailable, logging to standard error only: ", 0), 0u) << out;
  EXPECT_NE(out.find("\n<3>[s:c] first\n<6>[s:c] second\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("unavailable", 60), std::string::npos);
}

}  // namespace
}  // namespace tamsel::log
