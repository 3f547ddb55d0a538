
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/files.h"
#include "platform/unique_fd.h"

namespace tamsel {
namespace {

Error failure(int err, std::string_view what, const std::string& path) {
  std::string text(what);
  text += ' ';
  text += path;
  return Error::fromErrno(err, text);
}

std::string randomSuffix() {
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    static std::atomic_uint counter{0};  // O_EXCL still guards the name
    unsigned v = counter++ ^ static_cast<unsigned>(::getpid());
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(v >>= 3);
  }
  char hex[sizeof bytes * 2 + 1];
  for (std::size_t i = 0; i < sizeof bytes; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return hex;
}

Status writeAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return failure(errno, "could not write", path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status::success();
}

// Removes a staging file on every path that does not dismiss it.
class StagingFile {
 public:
  explicit StagingFile(std::string path) : path_(std::move(path)) {}
  ~StagingFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;
  const std::string& path() const { return path_; }
  void dismiss() { path_.clear(); }

 private:
  std::string path_;
};

// Empties the directory open at dirFd, depth first, never following a link.
Status removeContents(int dirFd, const std::string& path) {
  UniqueFd dupFd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
  if (!dupFd) return failure(errno, "could not remove", path);
  std::unique_ptr<DIR, int (*)(DIR*)> owned(::fdopendir(dupFd.get()), ::closedir);
  if (!owned) return failure(errno, "could not remove", path);
  (void)dupFd.release();  // the stream owns it now
  DIR* dir = owned.get();
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return failure(errno, "could not remove", path);
      return Status::success();
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string child = path + "/" + entry->d_name;
    struct stat st {};
    if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return failure(errno, "could not remove", child);
    }
    if (S_ISDIR(st.st_mode)) {
      UniqueFd sub(::openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub) return failure(errno, "could not remove", child);
      if (Status s = removeContents(sub.get(), child); !s) return s;
      if (::unlinkat(dirFd, entry->d_name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        return failure(errno, "could not remove", child);
      }
    } else if (::unlinkat(dirFd, entry->d_name, 0) != 0 && errno != ENOENT) {
      return failure(errno, "could not remove", child);
    }
  }
}

}  // namespace

bool entryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<std::int64_t> fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return failure(errno, "could not read the size of", path);
  return static_cast<std::int64_t>(st.st_size);
}

namespace {

// Creates each missing directory of path; a created one is given attributes when there are any.
// mkdir's own mode is the attributes' mode, so a directory is never wider than asked for, and
// with the usual umask already exact should the fix-up below never run.
Status makeDirectories(const std::string& path, const FileAttributes* attributes) {
  const mode_t mode = attributes != nullptr ? static_cast<mode_t>(attributes->mode & 07777) : 0777;
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty()) {
      if (::mkdir(prefix.c_str(), mode) == 0) {
        if (attributes != nullptr) {
          if (Status s = setAttributes(prefix, *attributes); !s) return s;
        }
      } else if (errno != EEXIST) {
        return failure(errno, "could not create directory", prefix);
      }
    }
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return failure(errno, "could not create directory", path);
  if (!S_ISDIR(st.st_mode)) return failure(ENOTDIR, "could not create directory", path);
  return Status::success();
}

// Reads until size bytes or the end of the file; the count read, or -1 with errno set.
ssize_t readFully(int fd, char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Opens a regular file for reading; anything else (a FIFO, a device, a directory) is refused
// without blocking on it.
Result<UniqueFd> openRegularForReading(const std::string& path, std::string_view what) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return failure(errno, what, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failure(errno, what, path);
  if (!S_ISREG(st.st_mode)) return failure(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, what, path);
  return fd;
}

Status copyContents(int from, int to, const std::string& fromPath, const std::string& toPath) {
  // In the kernel where the file systems allow it; by reads and writes otherwise.
  for (;;) {
    ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
    if (n == 0) return Status::success();
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      return failure(errno, "could not copy to", toPath);
    }
    break;
  }
  std::vector<char> buffer(std::size_t{1} << 17);
  for (;;) {
    ssize_t n = readFully(from, buffer.data(), buffer.size());
    if (n < 0) return failure(errno, "could not read", fromPath);
    if (n == 0) return Status::success();
    if (Status s =
            writeAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(n)), toPath);
        !s) {
      return s;
    }
  }
}

// Chunks of whole-file comparisons: the fastest of 64 KiB to 4 MiB measured by
// bench/installed_cli_compare_bench.
constexpr std::size_t kComparisonChunk = std::size_t{256} << 10;

}  // namespace

Status createDirectories(const std::string& path) {
  return makeDirectories(path, nullptr);
}

Status createDirectories(const std::string& path, const FileAttributes& attributes) {
  return makeDirectories(path, &attributes);
}

Status setAttributes(const std::string& path, const FileAttributes& attributes) {
  // On the open file, so that the owner and the mode land on the same one.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (!fd) return failure(errno, "could not set attributes of", path);
  // Owner first: a change of owner may clear mode bits.
  if (::fchown(fd.get(), static_cast<uid_t>(attributes.owner),
               static_cast<gid_t>(attributes.group)) != 0 ||
      ::fchmod(fd.get(), static_cast<mode_t>(attributes.mode & 07777)) != 0) {
    return failure(errno, "could not set attributes of", path);
  }
  return Status::success();
}

Status copyFileToNewPath(const std::string& from, const std::string& to) {
  Result<UniqueFd> source = openRegularForReading(from, "could not read");
  if (!source) return source.error();
  UniqueFd target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!target) return failure(errno, "could not create", to);
  StagingFile created(to);
  if (Status s = copyContents(source->get(), target.get(), from, to); !s) return s;
  if (::fsync(target.get()) != 0) return failure(errno, "could not write", to);
  if (::close(target.release()) != 0) return failure(errno, "could not write", to);
  created.dismiss();
  return Status::success();
}

Result<bool> sameContents(const std::string& a, const std::string& b) {
  Result<UniqueFd> fdA = openRegularForReading(a, "could not read");
  if (!fdA) return fdA.error();
  Result<UniqueFd> fdB = openRegularForReading(b, "could not read");
  if (!fdB) return fdB.error();
  struct stat stA {};
  struct stat stB {};
  if (::fstat(fdA->get(), &stA) != 0) return failure(errno, "could not read", a);
  if (::fstat(fdB->get(), &stB) != 0) return failure(errno, "could not read", b);
  if (stA.st_size != stB.st_size) return false;
  ::posix_fadvise(fdA->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  ::posix_fadvise(fdB->get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  // Fresh pages are dear (a page fault each); a thread's buffers serve all its comparisons.
  thread_local std::unique_ptr<char[]> bufferA;
  thread_local std::unique_ptr<char[]> bufferB;
  if (!bufferA) bufferA = std::make_unique_for_overwrite<char[]>(kComparisonChunk);
  if (!bufferB) bufferB = std::make_unique_for_overwrite<char[]>(kComparisonChunk);
  for (;;) {
    ssize_t nA = readFully(fdA->get(), bufferA.get(), kComparisonChunk);
    if (nA < 0) return failure(errno, "could not read", a);
    ssize_t nB = readFully(fdB->get(), bufferB.get(), kComparisonChunk);
    if (nB < 0) return failure(errno, "could not read", b);
    if (nA != nB) return false;  // one changed length while it was read
    if (nA == 0) return true;
    if (std::memcmp(bufferA.get(), bufferB.get(), static_cast<std::size_t>(nA)) != 0) {
      return false;
    }
  }
}

Status renameReplacing(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return failure(errno, "could not rename to", to);
  std::size_t slash = to.rfind('/');
  std::string dir = slash == std::string::npos ? "." : to.substr(0, slash == 0 ? 1 : slash);
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd) ::fsync(dirFd.get());  // the new entry is in place whatever this returns
  return Status::success();
}

Status createSymbolicLink(const std::string& target, const std::string& path) {
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    return failure(errno, "could not create a symbolic link at", path);
  }
  return Status::success();
}

Status removeEmptyDirectory(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return failure(errno, "could not remove directory", path);
  return Status::success();
}

Status atomicWriteFile(const std::string& path, std::string_view contents) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

  std::string name;
  UniqueFd fd;
  for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
    name = dir + (dir == "/" ? "." : "/.") + base + "." + randomSuffix();
    fd.reset(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd && errno != EEXIST) return failure(errno, "could not write", path);
  }
  if (!fd) return failure(EEXIST, "could not write", path);
  StagingFile staging(std::move(name));

  if (Status s = writeAll(fd.get(), contents, path); !s) return s;
  if (::fsync(fd.get()) != 0) return failure(errno, "could not write", path);
  if (::close(fd.release()) != 0) return failure(errno, "could not write", path);
  if (::rename(staging.path().c_str(), path.c_str()) != 0) {
    return failure(errno, "could not write", path);
  }
  staging.dismiss();
  // Make the rename itself durable; the new file is in place whatever this returns.
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd) ::fsync(dirFd.get());
  return Status::success();
}

Status removeItem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return failure(errno, "could not remove", path);
  if (S_ISDIR(st.st_mode)) {
    UniqueFd dirFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dirFd) return failure(errno, "could not remove", path);
    if (Status s = removeContents(dirFd.get(), path); !s) return s;
    if (::rmdir(path.c_str()) != 0) return failure(errno, "could not remove", path);
    return Status::success();
  }
  if (::unlink(path.c_str()) != 0) return failure(errno, "could not remove", path);
  return Status::success();
}

std::string currentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE || buffer.size() >= (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

LinkLookup lookUpLink(const std::string& path) {
  using Kind = LinkLookup::Kind;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return {errno == ENOENT || errno == ENOTDIR ? Kind::kMissing : Kind::kError, {}};
  }
  if (!S_ISLNK(st.st_mode)) return {Kind::kOther, {}};
  std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
  ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return {Kind::kError, {}};
  return {Kind::kLink, std::string(target.data(), static_cast<std::size_t>(n))};
}

}  // namespace tamsel
