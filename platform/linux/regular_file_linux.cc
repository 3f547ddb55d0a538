#include "platform/linux/regular_file_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/regular_file.h"
#include "platform/unique_fd.h"

namespace tamsel {
namespace linux_backend {

Result<std::string> readLocatedRegularFile(int located, const std::string& path,
                                           std::size_t maxBytes) {
  const auto tooLarge = [&] {
    return Error{EFBIG, path + ": larger than " + std::to_string(maxBytes) + " bytes"};
  };
  struct stat st {};
  if (::fstat(located, &st) != 0) return Error::fromErrno(errno, path);
  if (S_ISDIR(st.st_mode)) return Error::fromErrno(EISDIR, path);
  if (!S_ISREG(st.st_mode)) return Error{EINVAL, path + ": not a regular file"};
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) return tooLarge();
  // The same inode, opened for reading through the descriptor that found it.
  const std::string self = "/proc/self/fd/" + std::to_string(located);
  UniqueFd file(::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file) return Error::fromErrno(errno, path);

  // One byte past the bound tells a file of exactly maxBytes from one that grew past it since
  // the check (some file systems also report a size of 0).
  std::string contents;
  contents.resize(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), maxBytes) + 1);
  std::size_t have = 0;
  for (;;) {
    if (have == contents.size()) {
      if (have > maxBytes) return tooLarge();
      contents.resize(std::min(maxBytes + 1, have * 2 + 4096));
    }
    const ssize_t n = ::read(file.get(), contents.data() + have, contents.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::fromErrno(errno, path);
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (have > maxBytes) return tooLarge();
  contents.resize(have);
  return contents;
}

}  // namespace linux_backend

Result<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
  // Found without being opened: no device driver runs, no FIFO waits.
  UniqueFd located(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!located) return Error::fromErrno(errno, path);
  return linux_backend::readLocatedRegularFile(located.get(), path, maxBytes);
}

}  // namespace tamsel
