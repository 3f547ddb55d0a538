// Where a signature sits in a signed file:
//
//   content || CMS DER || info (8 bytes) || magic (30 bytes)
//
// The CMS is a detached SignedData over the content, i.e. every byte before the CMS. The info
// block is: version (1 byte, = 1), digest (1 byte, 1 = SHA-256), two reserved zero bytes, and the
// CMS length (4 bytes, big-endian). The magic ends the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tamsel::codesign {

inline constexpr std::string_view kSignatureMagic = "~TamselHelper code signature~\n";
inline constexpr std::size_t kSignatureInfoSize = 8;
inline constexpr std::size_t kTrailerSize = kSignatureInfoSize + kSignatureMagic.size();
inline constexpr std::uint8_t kSignatureVersion = 1;
inline constexpr std::uint8_t kDigestSha256 = 1;
// Real signatures are a few KiB; anything larger is refused before it is parsed.
inline constexpr std::uint32_t kMaxCmsLength = 256 * 1024;

enum class TrailerState {
  kAbsent,     // the file does not end with the magic: it is unsigned
  kMalformed,  // it ends with the magic but the info block is unusable
  kPresent,
};

struct TrailerLayout {
  TrailerState state = TrailerState::kAbsent;
  std::uint64_t contentLength = 0;  // bytes covered by the signature, from offset 0
  std::uint32_t cmsLength = 0;      // the CMS DER follows the content
};

// Reads the layout from the last min(fileSize, kTrailerSize) bytes of a file of fileSize bytes.
TrailerLayout parseTrailer(std::span<const std::uint8_t> tail, std::uint64_t fileSize);

// The info block and magic that follow a CMS of cmsLength bytes.
std::array<std::uint8_t, kTrailerSize> encodeTrailer(std::uint32_t cmsLength);

}  // namespace tamsel::codesign
