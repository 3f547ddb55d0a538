// The objects behind the public handles. Internal to this layer.
#pragma once

#include <string>

#include "platform/codesign/code_signing.h"
#include "platform/codesign/openssl_ptr.h"
#include "platform/unique_fd.h"

namespace tamsel::codesign {

// A regular file open for reading. Checks read it with pread only, so one StaticCode may be
// checked from several threads at once.
class StaticCode {
 public:
  StaticCode(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  UniqueFd fd_;
  std::string path_;
};

// A self-signed root certificate, parsed once. Read-only after construction.
class Anchor {
 public:
  explicit Anchor(X509Ptr certificate) : certificate_(std::move(certificate)) {}
  X509* certificate() const { return certificate_.get(); }

 private:
  X509Ptr certificate_;
};

}  // namespace tamsel::codesign
