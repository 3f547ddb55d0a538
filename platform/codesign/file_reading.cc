#include "platform/codesign/file_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace tamsel::codesign {

bool preadFully(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

Result<std::string> readSmallFile(std::string_view path, std::size_t maxBytes) {
  const std::string p(path);
  UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return Error::fromErrno(errno, "cannot open " + p);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Error::fromErrno(errno, "cannot stat " + p);
  if (!S_ISREG(st.st_mode)) return Error{EINVAL, p + " is not a regular file"};
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    return Error{EFBIG, p + " is too large"};
  }
  std::string data(static_cast<std::size_t>(st.st_size), '\0');
  errno = 0;
  if (!data.empty() && !preadFully(fd.get(), data.data(), data.size(), 0)) {
    return Error::fromErrno(errno == 0 ? EIO : errno, "cannot read " + p);
  }
  return data;
}

}  // namespace tamsel::codesign
