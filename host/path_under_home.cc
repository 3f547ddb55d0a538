#include "host/path_under_home.h"

#include <cerrno>
#include <deque>
#include <vector>

#include "platform/files.h"

namespace tamsel {
namespace {

constexpr int kMaxLinks = 40;  // the kernel's limit on links followed in one lookup

// Splits on "/" and pushes the non-empty segments, in order, at the front of queue.
void pushSegmentsFront(std::string_view path, std::deque<std::string>& queue) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) segments.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  queue.insert(queue.begin(), segments.begin(), segments.end());
}

void dropLastSegment(std::string& path) {
  std::size_t slash = path.rfind('/');
  path.erase(slash == std::string::npos ? 0 : slash);
}

bool isSameOrBelow(const std::string& path, const std::string& dir) {
  if (path == dir) return true;
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

}  // namespace

std::string standardisePath(std::string_view path) {
  std::string absolute;
  if (path.empty() || path.front() != '/') {
    absolute = currentDirectory();
    if (absolute.empty()) return {};
    absolute += '/';
  }
  absolute += path;

  std::deque<std::string> segments;
  pushSegmentsFront(absolute, segments);
  std::string out;  // "" stands for the root while building
  for (const std::string& s : segments) {
    if (s == ".") continue;
    if (s == "..") {
      dropLastSegment(out);
    } else {
      out += '/';
      out += s;
    }
  }
  return out.empty() ? "/" : out;
}

std::optional<std::string> resolveSymlinks(const std::string& standardised) {
  std::deque<std::string> pending;
  pushSegmentsFront(standardised, pending);
  std::string resolved;  // "" stands for the root
  int links = 0;
  while (!pending.empty()) {
    std::string segment = std::move(pending.front());
    pending.pop_front();
    if (segment == ".") continue;
    if (segment == "..") {
      dropLastSegment(resolved);  // resolved holds no link, so this is the real parent
      continue;
    }
    std::string candidate = resolved + "/" + segment;
    LinkLookup entry = lookUpLink(candidate);
    if (entry.kind == LinkLookup::Kind::kError) return std::nullopt;
    // Missing: nothing below it can lead anywhere yet.
    if (entry.kind != LinkLookup::Kind::kLink) {
      resolved = std::move(candidate);
      continue;
    }
    if (++links > kMaxLinks) return std::nullopt;
    if (!entry.target.empty() && entry.target.front() == '/') resolved.clear();
    pushSegmentsFront(entry.target, pending);
  }
  return resolved.empty() ? "/" : resolved;
}

std::optional<std::string> pathUnderHome(std::string_view path, std::string_view home) {
  if (home.empty()) return std::nullopt;
  std::string h = standardisePath(home);
  if (h.empty() || h == "/") return std::nullopt;
  std::string p = standardisePath(path);
  if (p.empty() || !isSameOrBelow(p, h)) return std::nullopt;

  std::optional<std::string> realHome = resolveSymlinks(h);
  if (!realHome || *realHome == "/") return std::nullopt;
  std::optional<std::string> realPath = resolveSymlinks(p);
  if (!realPath || !isSameOrBelow(*realPath, *realHome)) return std::nullopt;
  return p;
}

}  // namespace tamsel
