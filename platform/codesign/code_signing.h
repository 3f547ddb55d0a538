// Code signatures on this platform: a CMS SignedData appended to the file it covers, checked
// against the platform's code-signing root and a compiled code requirement.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tamsel::codesign {

// The platform's status numbers, defined once. 0 is success; every failure is negative.
using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSStaticCodeNotFound = -67068;
inline constexpr OSStatus errSecCSBadObjectFormat = -67049;
inline constexpr OSStatus errSecCSInvalidFlags = -67070;

// Flags of a validity check.
using SecCSFlags = std::uint32_t;
inline constexpr SecCSFlags kSecCSDefaultFlags = 0;
// Check every architecture the file holds. A file here holds one, and its signature covers every
// byte of it, so every check already does; callers that rely on it say so.
inline constexpr SecCSFlags kSecCSCheckAllArchitectures = 1;

class Requirement;  // a compiled requirement text
class StaticCode;   // a file opened for checking
class Anchor;       // a trusted code-signing root certificate

// Compiles a text of the requirement language. errSecCSReqInvalid when it does not compile.
OSStatus requirementCreateWithString(std::string_view text,
                                     std::shared_ptr<const Requirement>& out);

// Opens the file at path for checking (no signature work yet). errSecCSStaticCodeNotFound when
// nothing readable stands there.
OSStatus staticCodeCreateWithPath(std::string_view path, std::shared_ptr<const StaticCode>& out);

// The same for a file already open (admission opens a peer's executable through /proc).
OSStatus staticCodeCreateWithFd(UniqueFd fd, std::shared_ptr<const StaticCode>& out);

// The platform root at kCodeSigningAnchorPath, read on each call (it is small and rarely asked
// for: admission caches verdicts). A missing or unreadable root is returned as null, and every
// check against it then fails.
std::shared_ptr<const Anchor> platformAnchor();

// Loads a root certificate (PEM) from any path: tests and tools use their own roots.
std::shared_ptr<const Anchor> anchorFromPemFile(std::string_view path);

// 0 exactly when the signature covers every byte before it, chains to the anchor and the
// requirement holds; otherwise errSecCSUnsigned, errSecCSSignatureFailed, errSecCSReqFailed or
// errSecCSBadObjectFormat.
OSStatus staticCodeCheckValidity(const StaticCode& code, const Requirement& requirement,
                                 const Anchor* anchor);

// The same against platformAnchor().
OSStatus staticCodeCheckValidity(const StaticCode& code, const Requirement& requirement);

// The same with flags: errSecCSInvalidFlags for any flag other than those above.
OSStatus staticCodeCheckValidity(const StaticCode& code, SecCSFlags flags,
                                 const Requirement& requirement, const Anchor* anchor);

// The constant's name for the statuses above ("errSecCSReqFailed"), "unknown status" otherwise.
const char* statusName(OSStatus status);

}  // namespace tamsel::codesign
