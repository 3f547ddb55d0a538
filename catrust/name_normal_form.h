// The normal form of a distinguished name, in which two spellings of the same name are the
// same bytes. A certificate is self-signed when its subject and issuer have equal normal forms.
// The form is written down in docs/CERTIFICATES.md.
#pragma once

#include <openssl/x509.h>

#include <optional>
#include <string>

namespace tamsel::CASystemKeychainReconciler {

// Nothing when a value of a text type cannot be read as text (an odd-length BMPString, a
// UTF8String that is not UTF-8, ...).
std::optional<std::string> normalizedName(const X509_NAME* name);

// The name's common name as UTF-8: the value of its last CN attribute, or nothing when it has
// none or the value cannot be read as text.
std::optional<std::string> commonNameOf(const X509_NAME* name);

}  // namespace tamsel::CASystemKeychainReconciler
