#include "platform/info/main_bundle.h"

#include <unistd.h>

#include <vector>

namespace tamsel {
namespace {

// The path without its last component ("/a/b" -> "/a"); absent when nothing is left to drop.
std::optional<std::string_view> parentOf(std::string_view path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  return path.substr(0, slash);
}

std::string_view lastComponent(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<std::string> resourcesDirectoryOfExecutable(std::string_view executablePath) {
  std::optional<std::string_view> macos = parentOf(executablePath);
  if (!macos || lastComponent(*macos) != "MacOS") return std::nullopt;
  std::optional<std::string_view> contents = parentOf(*macos);
  if (!contents || lastComponent(*contents) != "Contents") return std::nullopt;
  if (!parentOf(*contents)) return std::nullopt;  // a bundle needs a directory of its own
  return std::string(*contents) + "/Resources";
}

std::optional<std::string> mainBundleResourcesDirectory() {
  std::vector<char> buffer(4096);
  ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return std::nullopt;
  return resourcesDirectoryOfExecutable(
      std::string_view(buffer.data(), static_cast<std::size_t>(n)));
}

}  // namespace tamsel
