// File operations with the semantics the operation bodies rely on. Failures come back as an
// Error whose code is the errno of the failed call and whose description names the path.
#pragma once

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

}  // namespace tamsel
