// Small, careful file reads used by this layer: close-on-exec descriptors, EINTR, short reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace tamsel::codesign {

// Reads exactly size bytes at offset. False on an error or when the file ends first.
bool preadFully(int fd, void* buffer, std::size_t size, std::uint64_t offset);

// Reads a whole small file (certificates, keys); refuses files larger than maxBytes.
Result<std::string> readSmallFile(std::string_view path, std::size_t maxBytes);

}  // namespace tamsel::codesign
