#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/regular_file.h"
#include "platform/unique_fd.h"

namespace tamsel {

Result<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
  // An O_PATH descriptor names the entry without opening it: no device driver runs, no FIFO
  // waits. Only once it is known to be a regular file is that same inode opened for reading.
  UniqueFd located(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!located) return Error::fromErrno(errno, path);
  struct stat st {};
  if (::fstat(located.get(), &st) != 0) return Error::fromErrno(errno, path);
  if (!S_ISREG(st.st_mode)) return Error{EINVAL, path + ": not a regular file"};
  const std::string reopen = "/proc/self/fd/" + std::to_string(located.get());
  UniqueFd fd(::open(reopen.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return Error::fromErrno(errno, path);

  // Read one byte past the limit to tell a file of exactly maxBytes from a larger one; the size
  // fstat reported is not trusted (the file may grow, and some file systems report 0).
  std::string data;
  data.resize(maxBytes + 1 < 64 * 1024 ? maxBytes + 1 : 64 * 1024);
  std::size_t used = 0;
  for (;;) {
    if (used == data.size()) {
      if (data.size() > maxBytes)
        return Error{EFBIG, path + ": larger than " + std::to_string(maxBytes) + " bytes"};
      data.resize(std::min(data.size() * 2, maxBytes + 1));
    }
    const ssize_t n = ::read(fd.get(), data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::fromErrno(errno, path);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  data.resize(used);
  return data;
}

}  // namespace tamsel
