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

TEST(LocateCLIPayload, OneCandidateInsideTheBundleThatIsNotADirectory) {
  ScratchDir scratch("cli-payload");
  const std::string app = scratch.file("Tamsel.app");
  const std::string resources = app + "/Contents/Resources";
  std::filesystem::create_directories(resources + "/bin");
  std::ofstream(resources + "/bin/tamsel") << "tool";
  std::filesystem::create_directories(app + "/Dir/bin/tamsel");
  std::filesystem::create_directories(scratch.file("Elsewhere.app/Contents/Resources/bin"));
  std::ofstream(scratch.file("Elsewhere.app/Contents/Resources/bin/tamsel")) << "tool";

  const struct {
    std::optional<std::string> resources;
    std::optional<std::string> expected;
  } cases[] = {
      {resources, resources + "/bin/tamsel"},
      {resources + "/", resources + "/bin/tamsel"},
      {std::nullopt, std::nullopt},
      {app + "/Missing", std::nullopt},
      {app + "/Dir", std::nullopt},
      {scratch.file("Elsewhere.app/Contents/Resources"), std::nullopt},
      {resources + "/../../../Elsewhere.app/Contents/Resources", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(locateCLIPayload(c.resources, app), c.expected) << c.resources.value_or("(none)");
  }
}

}  // namespace
}  // namespace tamsel
