// Read-only facts about files, for reports on the state of the machine (tamsel-helperctl
// doctor and status). Nothing here changes a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

namespace tamsel {

// What stands at a path itself (a final symbolic link is not followed).
struct FileFacts {
  enum class Kind {
    kMissing,
    kFile,
    kDirectory,
    kLink,
    kSocket,
    kOther,
    kUnknown
  } kind = Kind::kUnknown;
  std::uint64_t size = 0;
  std::uint32_t ownerUid = 0;
  std::uint32_t mode = 0;  // permission bits only
  bool readable = false;   // the calling process may open it for reading
  int error = 0;           // the errno when kind is kUnknown
};
FileFacts fileFacts(const std::string& path);

// A regular file's bytes, at most maxBytes of them (more is an error, EFBIG). A final symbolic
// link is followed; a FIFO or device is refused without blocking.
Result<std::string> readSmallFile(const std::string& path, std::size_t maxBytes);

// The names in a directory, sorted, without "." and "..".
Result<std::vector<std::string>> directoryEntries(const std::string& path);

}  // namespace tamsel
