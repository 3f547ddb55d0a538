// Fuzzes the reading of a certificate file: never crashes, never reads out of bounds, returns
// contents that are not UTF-8 unchanged, and makes a record only of what is a certificate.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "catrust/certificate_model.h"
#include "platform/utf8.h"

namespace model = tamsel::CASystemKeychainReconciler;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view contents(reinterpret_cast<const char*>(data), size);
  const auto der = model::derFromCertificateFile(contents);
  if (!tamsel::isValidUtf8(contents) && der != contents) std::abort();
  if (der) {
    if (der->size() > size) std::abort();
    if (model::existingCertFromDER(*der) && !model::isCertificate(*der)) std::abort();
  }
  return 0;
}
