
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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

Status createDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      return failure(errno, "could not create directory", prefix);
    }
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return failure(errno, "could not create directory", path);
  if (!S_ISDIR(st.st_mode)) return failure(ENOTDIR, "could not create directory", path);
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
