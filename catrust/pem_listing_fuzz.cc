// Fuzzes the splitting of a keychain listing and the records made from it: never crashes, never
// reads out of bounds, every block has bytes, every record is of the local CA's name with
// fingerprints of the right lengths.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "catrust/certificate_model.h"

namespace model = tamsel::CASystemKeychainReconciler;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& der : model::certificatesFromPEM(text)) {
    if (der.empty() || der.size() > size) std::abort();
  }
  for (const auto& record : model::existingCertsFromPEM(text)) {
    if (record.commonName != model::localCACommonName || record.sha1.size() != 40 ||
        record.sha256.size() != 64) {
      std::abort();
    }
  }
  return 0;
}
