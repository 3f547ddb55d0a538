#include "platform/info/info_dictionary.h"

#include <gtest/gtest.h>

#include "platform/identity.h"

namespace tamsel {
namespace {

std::string plistWith(std::string_view body) {
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>)") +
         std::string(body) + "</dict></plist>";
}

TEST(InfoDictionary, StringValuesComeBackUnchangedOtherTypesAreAbsent) {
  auto info = InfoDictionary::fromPlist(plistWith(
      "<key>S</key><string>  1.2.3 </string><key>N</key><integer>7</integer>"
      "<key>A</key><array><string>x</string></array><key>E</key><string></string>"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->stringValue("S"), "  1.2.3 ");
  EXPECT_EQ(info->stringValue("E"), "");
  EXPECT_FALSE(info->stringValue("N"));
  EXPECT_FALSE(info->stringValue("A"));
  EXPECT_FALSE(info->stringValue("missing"));
}

TEST(InfoDictionary, RejectsWhatIsNotADictionary) {
  EXPECT_FALSE(InfoDictionary::fromPlist(""));
  EXPECT_FALSE(InfoDictionary::fromPlist("not a plist at all"));
  EXPECT_FALSE(InfoDictionary::fromPlist(
      R"(<?xml version="1.0"?><plist version="1.0"><string>x</string></plist>)"));
  EXPECT_FALSE(InfoDictionary::fromPlist("bplist00\x01\x02"));
}

// The test binary does not link the embedded section, so it has no dictionary of its own.
TEST(InfoDictionary, ExecutableWithoutSectionHasNone) {
  EXPECT_FALSE(InfoDictionary::ofMainExecutable());
}

}  // namespace
}  // namespace tamsel
