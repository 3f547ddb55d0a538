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
  return std::strerror(err);  // NOLINT(concurrency-mt-unsafe): glibc's texts for known errnos are static
}

}  // namespace tamsel
