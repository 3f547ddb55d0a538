#include "platform/build_version.h"

namespace tamsel {

std::string_view productVersion() {
  return TAMSEL_PRODUCT_VERSION;
}

}  // namespace tamsel
