#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/file_facts.h"
#include "platform/unique_fd.h"

namespace tamsel {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

Error failure(int err, std::string_view what, const std::string& path) {
  return Error::fromErrno(err, std::string(what) + " " + path);
}

Result<UniqueFd> openRegular(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return failure(errno, "cannot open", path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failure(errno, "cannot inspect", path);
  if (!S_ISREG(st.st_mode)) return failure(EINVAL, "not a regular file:", path);
  return fd;
}

// Up to want bytes; fewer only at the end of the file.
Result<std::size_t> readChunk(const UniqueFd& fd, char* buffer, std::size_t want,
                              const std::string& path) {
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::read(fd.get(), buffer + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failure(errno, "cannot read", path);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

FileFacts fileFacts(const std::string& path) {
  FileFacts facts;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      facts.kind = FileFacts::Kind::kMissing;
    } else {
      facts.error = errno;
    }
    return facts;
  }
  if (S_ISREG(st.st_mode)) {
    facts.kind = FileFacts::Kind::kFile;
  } else if (S_ISDIR(st.st_mode)) {
    facts.kind = FileFacts::Kind::kDirectory;
  } else if (S_ISLNK(st.st_mode)) {
    facts.kind = FileFacts::Kind::kLink;
  } else if (S_ISSOCK(st.st_mode)) {
    facts.kind = FileFacts::Kind::kSocket;
  } else {
    facts.kind = FileFacts::Kind::kOther;
  }
  facts.size = static_cast<std::uint64_t>(st.st_size);
  facts.ownerUid = st.st_uid;
  facts.mode = st.st_mode & 07777;
  facts.readable = ::access(path.c_str(), R_OK) == 0;
  return facts;
}

Result<std::string> readSmallFile(const std::string& path, std::size_t maxBytes) {
  auto fd = openRegular(path);
  if (!fd) return fd.error();
  std::string bytes;
  for (;;) {
    const std::size_t old = bytes.size();
    bytes.resize(old + kChunk);
    auto n = readChunk(*fd, bytes.data() + old, kChunk, path);
    if (!n) return n.error();
    bytes.resize(old + *n);
    if (bytes.size() > maxBytes) return failure(EFBIG, "too large:", path);
    if (*n < kChunk) return bytes;
  }
}

Result<std::vector<std::string>> directoryEntries(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return failure(errno, "cannot open directory", path);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd.get()), ::closedir);
  if (!dir) return failure(errno, "cannot read directory", path);
  (void)fd.release();  // the DIR owns it now
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string_view name = e->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  if (errno != 0) return failure(errno, "cannot read directory", path);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tamsel
