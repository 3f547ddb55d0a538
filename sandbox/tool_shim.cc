// Stands in the sandbox at a system tool's path (/usr/sbin/chown): writes down which descriptors
// it was started with, then becomes the real tool with the same arguments. The record lets the
// system tests prove that a tool the daemon starts inherits nothing but 0, 1 and 2.
//
// Record: /run/tamsel-sandbox/tool-fds/<pid>, one line per open descriptor, "<fd> <target>",
// written only when that directory exists.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/unique_fd.h"

namespace {

constexpr const char* kRecordDir = "/run/tamsel-sandbox/tool-fds";
constexpr const char* kRealTool = "/usr/bin/chown";

std::string describeOpenDescriptors() {
  std::string lines;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return "error: cannot list /proc/self/fd\n";
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd == own) continue;
    char target[512];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    target[n < 0 ? 0 : n] = '\0';
    lines += std::to_string(fd) + " " + target + "\n";
  }
  ::closedir(dir);
  return lines;
}

void record() {
  if (::access(kRecordDir, W_OK) != 0) return;
  const std::string lines = describeOpenDescriptors();
  const std::string path = std::string(kRecordDir) + "/" + std::to_string(::getpid());
  tamsel::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out) return;
  const char* p = lines.data();
  size_t left = lines.size();
  while (left > 0) {
    const ssize_t n = ::write(out.get(), p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

int main(int, char** argv) {
  record();
  ::execv(kRealTool, argv);
  std::perror(kRealTool);
  return 127;
}
