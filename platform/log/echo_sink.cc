#include "platform/log/echo_sink.h"

#include <unistd.h>

#include <cerrno>

namespace tamsel::log {

int syslogPriority(Level level) {
  switch (level) {
    case Level::kDebug:
      return 7;
    case Level::kNotice:
      return 5;
    case Level::kError:
      return 3;
    case Level::kFault:
      return 2;
    case Level::kUndefined:
    case Level::kInfo:
      break;
  }
  return 6;
}

std::string formatEchoLine(const Entry& entry) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line;
  line.reserve(entry.message.size() + entry.subsystem.size() + entry.category.size() + 16);
  line += '<';
  line += static_cast<char>('0' + syslogPriority(entry.level));
  line += ">[";
  line += entry.subsystem;
  line += ':';
  line += entry.category;
  line += "] ";
  for (const char ch : entry.message) {
    const auto u = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      case '\t':
        line += "\\t";
        break;
      case '\\':
        line += "\\\\";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          line += "\\x";
          line += kHex[u >> 4];
          line += kHex[u & 0xF];
        } else {
          line += ch;
        }
    }
  }
  line += '\n';
  return line;
}

void EchoSink::writeLine(std::string_view line) {
  std::lock_guard lock(mu_);
  while (!line.empty()) {
    const ssize_t n = ::write(fd_, line.data(), line.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report to
    }
    line.remove_prefix(static_cast<std::size_t>(n));
  }
}

void EchoSink::write(const Entry& entry) {
  writeLine(formatEchoLine(entry));
}

}  // namespace tamsel::log
