#include "catrust/reconcile_plan.h"

namespace tamsel::CASystemKeychainReconciler {
namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

ReconcilePlan planReconcile(std::string_view newSHA256, const std::vector<ExistingCert>& records) {
  ReconcilePlan plan;
  for (const ExistingCert& record : records) {
    if (!record.isSelfSigned || record.commonName != localCACommonName) continue;
    if (equalIgnoringCase(record.sha256, newSHA256)) {
      plan.needsAdd = false;
    } else {
      plan.stale.push_back(record);
    }
  }
  return plan;
}

}  // namespace tamsel::CASystemKeychainReconciler
