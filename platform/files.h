// Files: the operations the bodies rely on. Failures come back as an Error whose code is the
// errno of the failed call and whose description names the path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace tamsel {

// True when something exists at path; a final symbolic link is followed, so a link whose target
// is missing counts as absent.
bool entryExists(const std::string& path);

// True when a directory stands at path, links followed.
bool isDirectory(const std::string& path);

// The size in bytes of the file at path, links followed.
Result<std::int64_t> fileSize(const std::string& path);

// Permission bits, owner and group, given to what an operation creates.
struct FileAttributes {
  unsigned mode = 0;  // e.g. 0755; exact, whatever the process's umask
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
};

// Creates directory path and any missing parents, with the process's default mode.
Status createDirectories(const std::string& path);

// The same, giving attributes to every directory it creates (never wider than them, not even
// for a moment). Directories that exist already are left as they are.
Status createDirectories(const std::string& path, const FileAttributes& attributes);

// Sets owner, group and mode of the file at path. A final symbolic link is not followed: the
// call fails on one.
Status setAttributes(const std::string& path, const FileAttributes& attributes);

// Copies the regular file at from (links followed) into a new file at to, flushed to disk
// before returning. Fails when anything stands at to, a link included. The copy is readable
// by its owner only until its attributes are set. On failure no copy remains at to.
Status copyFileToNewPath(const std::string& from, const std::string& to);

// Whether the files at a and b hold the same bytes: lengths, then contents, read in chunks into
// buffers each thread keeps for its next call. Fails when either is not a readable regular file.
Result<bool> sameContents(const std::string& a, const std::string& b);

// Replaces to with from in one step (both on one file system); a reader of to sees the old
// entry or the new one. The rename is flushed to disk before returning.
Status renameReplacing(const std::string& from, const std::string& to);

// Creates a symbolic link at path whose stored text is target. Fails when anything stands at
// path.
Status createSymbolicLink(const std::string& target, const std::string& path);

// Removes the directory at path when it is empty.
Status removeEmptyDirectory(const std::string& path);

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
