#include "platform/info/info_dictionary.h"

#include <gtest/gtest.h>

#include "platform/identity.h"

namespace tamsel {
namespace {

// This test links the section the daemon carries and reads it back as the daemon does.
TEST(InfoDictionary, TheEmbeddedOneCarriesTheHelpersIdentityAndVersion) {
  const auto& info = InfoDictionary::ofMainExecutable();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->stringValue("CFBundleIdentifier"), std::string(kHelperIdentifier));
  EXPECT_EQ(info->stringValue("CFBundleShortVersionString"), TAMSEL_EXPECTED_VERSION);
}

TEST(InfoDictionary, OnlyADictionaryIsOne) {
  EXPECT_TRUE(InfoDictionary::fromPlist(R"(<plist version="1.0"><dict/></plist>)"));
  for (const std::string_view text :
       {std::string_view(""), std::string_view("not a plist at all"),
        std::string_view(R"(<plist version="1.0"><string>x</string></plist>)"),
        std::string_view("bplist00\x01\x02")}) {
    EXPECT_FALSE(InfoDictionary::fromPlist(text)) << text;
  }
}

}  // namespace
}  // namespace tamsel
