#include "cli/cli_payload.h"

#include <gtest/gtest.h>

namespace tamsel {
namespace {

TEST(IsInsideAppBundle, OnlyStrictlyBelowTheBundleByItsStandardForm) {
  const std::string app = "/Applications/Tamsel.app";
  const struct {
    std::string candidate;
    bool inside;
  } cases[] = {
      {app + "/Contents/Resources/bin/tamsel", true},
      {app + "/x", true},
      {app + "/Contents/../Contents/Resources/bin/tamsel", true},
      {app, false},
      {app + "/", false},
      {app + "/Contents/..", false},
      {"/Applications/Tamsel.app2/bin/tamsel", false},
      {app + "/Contents/Resources/../../../Other.app/bin/tamsel", false},
      {app + "/../Tamsel.app.evil/bin/tamsel", false},
      {"/applications/tamsel.app/bin/tamsel", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isInsideAppBundle(c.candidate, app), c.inside) << c.candidate;
    EXPECT_EQ(isInsideAppBundle(c.candidate, app + "/"), c.inside) << c.candidate;
  }
}

}  // namespace
}  // namespace tamsel
