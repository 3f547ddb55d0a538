#include "platform/result.h"

#include <cstring>

namespace tamsel {

Error Error::fromErrno(int err, std::string_view what) {
  std::string text(what);
  text += ": ";
  text += std::strerror(
      err);  // NOLINT(concurrency-mt-unsafe): glibc returns static texts for known errnos
  return Error{err, std::move(text)};
}

}  // namespace tamsel
