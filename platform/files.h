// Files: the operations the bodies rely on. Failures come back as an Error whose code is the
// errno of the failed call and whose description names the path.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace tamsel {

// True when something exists at path; a final symbolic link is followed, so a link whose target
// is missing counts as absent.
bool entryExists(const std::string& path);

// Creates directory path and any missing parents, with the process's default mode.
Status createDirectories(const std::string& path);

// Replaces path with contents in one step: a reader sees the old file or the whole new one.
// The bytes go to a new file beside the target (default mode), are flushed to disk, then
// renamed over the target. On failure the target is untouched and the new file removed.
Status atomicWriteFile(const std::string& path, std::string_view contents);

// Removes the entry at path: a file, a symbolic link itself (never its target) or a directory
// with everything in it. Links inside a removed directory are removed, not followed.
Status removeItem(const std::string& path);

// The working directory of the process; empty when it cannot be read.
std::string currentDirectory();

// What stands at path itself (a final symbolic link is not followed).
struct LinkLookup {
  enum class Kind { kMissing, kLink, kOther, kError } kind = Kind::kError;
  std::string target;  // the stored text of a link
};
LinkLookup lookUpLink(const std::string& path);

}  // namespace tamsel
