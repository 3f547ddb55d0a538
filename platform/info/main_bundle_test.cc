#include "platform/info/main_bundle.h"

#include <gtest/gtest.h>

namespace tamsel {
namespace {

TEST(MainBundle, ResourcesLieBesideTheExecutablesDirectoryOfTheBundle) {
  const struct {
    std::string executable;
    std::optional<std::string> resources;
  } cases[] = {
      {"/Applications/Tamsel.app/Contents/MacOS/TamselHelper",
       "/Applications/Tamsel.app/Contents/Resources"},
      {"/Applications/Tamsel.app/Contents/MacOS/TamselHelper (deleted)",
       "/Applications/Tamsel.app/Contents/Resources"},
      {"/usr/sbin/TamselHelper", std::nullopt},
      {"/Applications/Tamsel.app/Contents/TamselHelper", std::nullopt},
      {"/Applications/Tamsel.app/MacOS/TamselHelper", std::nullopt},
      {"/Contents/MacOS/TamselHelper", std::nullopt},
      {"TamselHelper", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(resourcesDirectoryOfExecutable(c.executable), c.resources) << c.executable;
  }
  // A test binary lies in no bundle.
  EXPECT_EQ(mainBundleResourcesDirectory(), std::nullopt);
}

}  // namespace
}  // namespace tamsel
