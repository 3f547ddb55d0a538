// What reconciling the System keychain with the application's CA file must change, decided from
// the keychain's records alone.
#pragma once

#include <string_view>
#include <vector>

#include "catrust/certificate_model.h"

namespace tamsel::CASystemKeychainReconciler {

struct ReconcilePlan {
  // The self-signed certificates named localCACommonName whose SHA-256 differs from the file's,
  // in listing order: each is to be deleted.
  std::vector<ExistingCert> stale;
  // True when no self-signed certificate of that name has the file's SHA-256.
  bool needsAdd = true;
};

// SHA-256 values are compared without regard to letter case. Records that are not self-signed,
// or of another name, are neither stale nor taken as the file's certificate.
ReconcilePlan planReconcile(std::string_view newSHA256, const std::vector<ExistingCert>& records);

}  // namespace tamsel::CASystemKeychainReconciler
