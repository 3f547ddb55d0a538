#include "platform/result.h"

#include <cstring>

namespace tamsel {

Error Error::fromErrno(int err, std::string_view what) {
  std::string text(what);
  text += ": ";
  text += errnoText(err);
  return Error{err, std::move(text)};
}

std::string errnoText(int err) {
  char buffer[256];
  // GNU strerror_r: returns the text, in buffer or a static string.
  return ::strerror_r(err, buffer, sizeof buffer);
}

}  // namespace tamsel
