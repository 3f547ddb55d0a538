// A user's home held open by a descriptor, for bodies that act as root on paths the user
// controls. Everything done through it is resolved by the kernel beneath the directory that was
// pinned: a symbolic link the user places or swaps in, at any moment, cannot lead a lookup out
// of the home, and a tool run through it cannot follow any link inside the home at all.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/result.h"
#include "platform/unique_fd.h"

namespace tamsel {

// What a path names beneath a pinned home.
enum class HomeEntry {
  kMissing,       // nothing there (a dangling link included), or the home itself is missing
  kDirectory,     // a directory, reached without leaving the home
  kNonDirectory,  // anything else, reached without leaving the home
  kOutside,       // the path, or a link on its way, leads out of the home (or loops)
};

// The most readRegularFile hands back.
inline constexpr std::size_t kMaxHomeFileBytes = std::size_t{1} << 20;

class PinnedHome {
 public:
  // Opens home, an absolute standardised path, as a directory. Links on the way to it are
  // followed: the directories above a home are not the user's. A home that does not exist pins
  // nothing, and everything beneath it is missing. "/" is refused: it holds no one's home.
  static Result<PinnedHome> pin(const std::string& home);

  const std::string& path() const { return path_; }

  // What is at path (absolute, the home itself or below it; anything else is kOutside),
  // following links, final ones included, only while they stay beneath the home. Never opens
  // the entry itself, so it cannot block on a FIFO or wake a device. Any other lookup failure
  // (a kernel or a system-call filter without openat2 among them) is an error, never a guess.
  Result<HomeEntry> entryAt(const std::string& path) const;

  // The contents of the regular file at path, looked up as entryAt does and read as
  // readRegularFile (platform/regular_file.h) reads: never blocking on what it finds, a FIFO, a
  // device, a directory, a file above maxBytes, or one held by a lease is an error, as is
  // anything entryAt does not find beneath the home.
  Result<std::string> readRegularFile(const std::string& path,
                                      std::size_t maxBytes = kMaxHomeFileBytes) const;

  // Starts executable as startTool does (same streams, descriptors, signals and launch errors),
  // but in a private view of the file system where the pinned home is mounted over its own path
  // with link following disabled: no lookup by the tool can follow a link inside the home, so a
  // path given below it reaches only the home's own tree, whatever is swapped in while the tool
  // runs. When that view cannot be set up the tool is not started; the error says why.
  Result<StartedTool> startConfined(const std::string& executable,
                                    const std::vector<std::string>& arguments,
                                    bool captureStdout) const;

 private:
  PinnedHome(std::string path, UniqueFd dir) : path_(std::move(path)), dir_(std::move(dir)) {}

  std::string path_;
  UniqueFd dir_;  // invalid when the home does not exist
};

}  // namespace tamsel
