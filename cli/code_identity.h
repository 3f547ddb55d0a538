// The code-identity check a file passes before it is installed where every user runs it: its
// signature is intact and satisfies codeSigningRequirement(), the requirement the helper admits
// clients by. The check reads the file, changes nothing and logs nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/codesign/code_signing.h"

namespace tamsel {

// Absent when the file at path passes; otherwise the one failure message:
//   "Could not read the code signature of " + path
//   "Could not compile Tamsel's code requirement"
//   codeIdentityFailure(path, status)
// path appears exactly as given. Checked against the platform's code-signing root.
std::optional<std::string> verifyCodeIdentity(const std::string& path);

// The same against anchor (tests bring their own root).
std::optional<std::string> verifyCodeIdentity(const std::string& path,
                                              const codesign::Anchor* anchor);

// path + " failed code-identity verification (OSStatus " + status as a signed decimal +
// "); refusing to install it".
std::string codeIdentityFailure(std::string_view path, codesign::OSStatus status);

}  // namespace tamsel
