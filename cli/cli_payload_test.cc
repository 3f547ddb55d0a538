#include "cli/cli_payload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/testing/scratch_dir.h"

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

// Only the payload of the bundle the helper runs from, and only a file there.
TEST(LocateCLIPayload, TheBundlesOwnFileOrNothing) {
  ScratchDir dir("cli-payload");
  const std::string app = dir.file("Tamsel.app"), elsewhere = dir.file("Other.app");
  for (const std::string& bundle : {app, elsewhere}) {
    std::filesystem::create_directories(bundle + "/Contents/Resources/bin");
    std::ofstream(bundle + "/Contents/Resources/bin/tamsel") << "payload";
  }
  EXPECT_EQ(locateCLIPayload(app + "/Contents/Resources", app),
            app + "/Contents/Resources/bin/tamsel");
  EXPECT_EQ(locateCLIPayload(elsewhere + "/Contents/Resources", app), std::nullopt);
  EXPECT_EQ(locateCLIPayload(std::nullopt, app), std::nullopt);
  std::filesystem::create_directories(app + "/Contents/bin/tamsel");  // a directory is no payload
  EXPECT_EQ(locateCLIPayload(app + "/Contents", app), std::nullopt);
}

}  // namespace
}  // namespace tamsel
