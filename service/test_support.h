// What the operation bodies' tests share: a sink that keeps log entries, a StatusReply that
// records what it was given, and whole-file reads.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "platform/log/test_sink.h"
#include "service/reply.h"

namespace tamsel {

using log::TestSink;

struct Answer {
  int calls = 0;
  bool ok = false;
  Message message;
  std::int32_t code = -1;
};

// A reply function that records into a; a.calls counts the answers.
inline StatusReply into(Answer& a) {
  return StatusReply([&a](bool ok, Message message, std::int32_t code) {
    ++a.calls;
    a.ok = ok;
    a.message = std::move(message);
    a.code = code;
  });
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace tamsel
