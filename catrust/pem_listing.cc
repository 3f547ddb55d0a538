#include "catrust/base64.h"
#include "catrust/certificate_model.h"

namespace tamsel::CASystemKeychainReconciler {

std::vector<std::string> certificatesFromPEM(std::string_view text) {
  std::vector<std::string> blocks;
  // Each end marker closes the piece before it; whatever follows the last one is not a piece.
  std::size_t pieceStart = 0;
  for (std::size_t end; (end = text.find(kPemEndMarker, pieceStart)) != std::string_view::npos;
       pieceStart = end + kPemEndMarker.size()) {
    const std::string_view piece = text.substr(pieceStart, end - pieceStart);
    const std::size_t begin = piece.rfind(kPemBeginMarker);
    if (begin == std::string_view::npos) continue;
    auto der = base64::decodeIgnoringOthers(piece.substr(begin + kPemBeginMarker.size()));
    if (der && !der->empty()) blocks.push_back(std::move(*der));
  }
  return blocks;
}

}  // namespace tamsel::CASystemKeychainReconciler
