// Treats the input as a signed file: trailer, CMS decoding, digest and signature, chain building.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "platform/codesign/code_signing.h"
#include "platform/codesign/requirement.h"
#include "platform/codesign/static_code.h"
#include "platform/unique_fd.h"

namespace cs = tamsel::codesign;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::shared_ptr<const cs::Requirement> requirement = [] {
    std::shared_ptr<const cs::Requirement> r;
    cs::requirementCreateWithString("anchor apple generic and certificate leaf[subject.OU] = X", r);
    return r;
  }();
  tamsel::UniqueFd fd(::memfd_create("signature-fuzz", MFD_CLOEXEC));
  if (!fd) return 0;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(fd.get(), data + written, size - written);
    if (n <= 0) return 0;
    written += static_cast<std::size_t>(n);
  }
  std::shared_ptr<const cs::StaticCode> code;
  if (cs::staticCodeCreateWithFd(std::move(fd), code) != cs::errSecSuccess) return 0;
  // No anchor: every path up to chain building runs, and the verdict must be a failure.
  const cs::OSStatus status = cs::staticCodeCheckValidity(*code, *requirement, nullptr);
  if (status == cs::errSecSuccess) __builtin_trap();
  return 0;
}
