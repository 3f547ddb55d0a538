// Echo of log entries to a stream (standard error for the daemon), one line per entry, with a
// syslog priority prefix so that journald keeps each entry's level.
#pragma once

#include <mutex>
#include <string>

#include "platform/log/logger.h"

namespace tamsel::log {

// "<6>[subsystem:category] message\n". Control characters and the backslash in the message are
// escaped ("\n", "\r", "\t", "\\", "\xHH") so an entry is always exactly one line.
std::string formatEchoLine(const Entry& entry);

// The syslog priority of a level: debug 7, info 6, notice 5, error 3, fault 2.
int syslogPriority(Level level);

class EchoSink final : public Sink {
 public:
  // fd is not owned: it is the process's standard error, or a test's pipe.
  explicit EchoSink(int fd = 2) : fd_(fd) {}
  void write(const Entry& entry) override;

  // Writes one raw line as it is (for the log system's own notices).
  void writeLine(std::string_view line);

 private:
  int fd_;
  std::mutex mu_;  // keeps lines whole when a write is split
};

}  // namespace tamsel::log
