// Readable gtest output for the reply shapes.
#pragma once

#include <ostream>

#include "service/reply_shapes.h"

namespace tamsel {

inline void PrintTo(const StatusReply& r, std::ostream* os) {
  *os << "{" << (r.ok ? "YES" : "NO") << ", "
      << (r.message ? "\"" + *r.message + "\"" : std::string("null")) << ", " << r.code << "}";
}

inline void PrintTo(const LogsReply& r, std::ostream* os) {
  *os << "{" << (r.text ? "\"" + *r.text + "\"" : std::string("null")) << ", "
      << (r.message ? "\"" + *r.message + "\"" : std::string("null")) << ", " << r.code << "}";
}

}  // namespace tamsel
