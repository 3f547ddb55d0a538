// Confining client-supplied paths to the connecting user's home.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamsel {

// The lexical standard form of a path: absolute (a relative path is taken from the current
// working directory), no "." or empty segments, each ".." removed with the segment before it
// (".." at the root stays there), no trailing "/" except for "/" itself. Empty when a relative
// path is given and the working directory cannot be read.
std::string standardisePath(std::string_view path);

// Follows every symbolic link in an absolute standardised path, as the kernel would when
// opening it: the result names the same file with no link in it. Components that do not exist
// are kept as written. Absent on a link loop or an error other than a missing component.
std::optional<std::string> resolveSymlinks(const std::string& standardised);

// standardisePath(path) if it is home itself or lies below it, else absent. The check is made
// twice: on the lexical forms, and on the same forms with symbolic links resolved, so a link
// inside the home that leads out of it does not carry a path out. A home that is (or resolves
// to) "/" or "" contains nothing. Callers use the lexical result.
std::optional<std::string> pathUnderHome(std::string_view path, std::string_view home);

}  // namespace tamsel
