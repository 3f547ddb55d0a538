#include <fcntl.h>
#include <sys/stat.h>

#include "platform/codesign/static_code.h"

namespace tamsel::codesign {
namespace {

// Only regular files are code here; O_NONBLOCK keeps a FIFO at the path from blocking the open.
bool isRegularFile(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

OSStatus staticCodeCreateWithPath(std::string_view path, std::shared_ptr<const StaticCode>& out) {
  out.reset();
  std::string p(path);
  if (p.empty() || p.find('\0') != std::string::npos) return errSecCSStaticCodeNotFound;
  UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd || !isRegularFile(fd.get())) return errSecCSStaticCodeNotFound;
  out = std::make_shared<const StaticCode>(std::move(fd), std::move(p));
  return errSecSuccess;
}

OSStatus staticCodeCreateWithFd(UniqueFd fd, std::shared_ptr<const StaticCode>& out) {
  out.reset();
  if (!fd || !isRegularFile(fd.get())) return errSecCSStaticCodeNotFound;
  std::string path = "/proc/self/fd/" + std::to_string(fd.get());
  out = std::make_shared<const StaticCode>(std::move(fd), std::move(path));
  return errSecSuccess;
}

}  // namespace tamsel::codesign
