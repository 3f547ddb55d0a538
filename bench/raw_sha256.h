// The raw baseline for code-signature checks: read a file in 128 KiB chunks into one reused
// buffer and SHA-256 it, nothing else.
#pragma once

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tamsel::bench {

inline std::array<unsigned char, 32> rawReadAndSha256(const std::string& path,
                                                      std::vector<unsigned char>& buffer) {
  buffer.resize(std::size_t{128} * 1024);
  std::array<unsigned char, 32> out{};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  ssize_t n;
  while ((n = ::read(fd.get(), buffer.data(), buffer.size())) > 0) {
    EVP_DigestUpdate(ctx, buffer.data(), static_cast<std::size_t>(n));
  }
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, out.data(), &len);
  EVP_MD_CTX_free(ctx);
  return out;
}

}  // namespace tamsel::bench
