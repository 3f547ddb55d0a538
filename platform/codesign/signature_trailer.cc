#include "platform/codesign/signature_trailer.h"

#include <algorithm>
#include <cstring>

namespace tamsel::codesign {

TrailerLayout parseTrailer(std::span<const std::uint8_t> tail, std::uint64_t fileSize) {
  TrailerLayout layout;
  if (fileSize < kTrailerSize || tail.size() != kTrailerSize) return layout;
  const std::uint8_t* magic = tail.data() + kSignatureInfoSize;
  if (std::memcmp(magic, kSignatureMagic.data(), kSignatureMagic.size()) != 0) return layout;

  layout.state = TrailerState::kMalformed;
  const std::uint8_t* info = tail.data();
  if (info[0] != kSignatureVersion || info[1] != kDigestSha256 || info[2] != 0 || info[3] != 0) {
    return layout;
  }
  const std::uint32_t cmsLength = (std::uint32_t{info[4]} << 24) | (std::uint32_t{info[5]} << 16) |
                                  (std::uint32_t{info[6]} << 8) | std::uint32_t{info[7]};
  if (cmsLength == 0 || cmsLength > kMaxCmsLength || cmsLength > fileSize - kTrailerSize) {
    return layout;
  }
  layout.state = TrailerState::kPresent;
  layout.cmsLength = cmsLength;
  layout.contentLength = fileSize - kTrailerSize - cmsLength;
  return layout;
}

std::array<std::uint8_t, kTrailerSize> encodeTrailer(std::uint32_t cmsLength) {
  std::array<std::uint8_t, kTrailerSize> out{};
  out[0] = kSignatureVersion;
  out[1] = kDigestSha256;
  out[4] = static_cast<std::uint8_t>(cmsLength >> 24);
  out[5] = static_cast<std::uint8_t>(cmsLength >> 16);
  out[6] = static_cast<std::uint8_t>(cmsLength >> 8);
  out[7] = static_cast<std::uint8_t>(cmsLength);
  std::copy(kSignatureMagic.begin(), kSignatureMagic.end(), out.begin() + kSignatureInfoSize);
  return out;
}

}  // namespace tamsel::codesign
