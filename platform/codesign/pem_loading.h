// Keys and certificates from PEM files, for signing.
#pragma once

#include <string_view>

#include "platform/codesign/openssl_ptr.h"
#include "platform/result.h"

namespace tamsel::codesign {

// An unencrypted private key (an encrypted one is refused, never prompted for).
Result<EvpPkeyPtr> loadPrivateKey(std::string_view path);

// Every certificate in the file, in order; a file without any is an error.
Result<X509StackPtr> loadCertificates(std::string_view path);

}  // namespace tamsel::codesign
