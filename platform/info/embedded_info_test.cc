// Links the section the daemon carries and reads it back as the daemon does.
#include <gtest/gtest.h>

#include <regex>

#include "platform/identity.h"
#include "platform/info/info_dictionary.h"

namespace tamsel {
namespace {

TEST(EmbeddedInfo, CarriesTheHelpersIdentityAndVersion) {
  const auto& info = InfoDictionary::ofMainExecutable();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->stringValue("CFBundleIdentifier"), std::string(kHelperIdentifier));
  EXPECT_EQ(info->stringValue("CFBundleExecutable"), "TamselHelper");
  EXPECT_EQ(info->stringValue("CFBundleShortVersionString"), TAMSEL_EXPECTED_VERSION);
  auto build = info->stringValue("CFBundleVersion");
  ASSERT_TRUE(build);
  EXPECT_TRUE(std::regex_match(*build, std::regex("[0-9]{8}"))) << *build;
  EXPECT_EQ(info->stringValue("LSMinimumSystemVersion"), "26.0");
}

}  // namespace
}  // namespace tamsel
