#include "service/helper_version.h"

#include <gtest/gtest.h>

#include "platform/identity.h"
#include "service/test_support.h"

namespace tamsel {
namespace {

struct HelperVersionTest : ::testing::Test {
  std::shared_ptr<TestSink> sink = std::make_shared<TestSink>();
  HelperImpl helper{log::Logger(std::string(kHelperIdentifier), "helper", sink)};

  std::string versionFor(const std::optional<InfoDictionary>& info) {
    std::optional<std::string> answer;
    helperVersion(helper, info, VersionReply([&](std::string v) { answer = std::move(v); }));
    EXPECT_TRUE(answer.has_value()) << "helperVersion did not reply";
    return answer.value_or("<no reply>");
  }
};

std::optional<InfoDictionary> dictWith(std::string_view body) {
  return InfoDictionary::fromPlist(std::string("<plist version=\"1.0\"><dict>") +
                                   std::string(body) + "</dict></plist>");
}

TEST_F(HelperVersionTest, VersionIsTheStringAsStoredOrUnknown) {
  EXPECT_EQ(versionFor(dictWith("<key>CFBundleShortVersionString</key><string> 2.0.1 </string>")),
            " 2.0.1 ");
  EXPECT_EQ(versionFor(dictWith("<key>CFBundleShortVersionString</key><integer>2</integer>")),
            "unknown");
  EXPECT_EQ(versionFor(dictWith("<key>CFBundleVersion</key><string>20260101</string>")), "unknown");
  EXPECT_EQ(versionFor(std::nullopt), "unknown");
  EXPECT_EQ(sink->messages(),
            (std::vector<std::string>{"helperVersion:  2.0.1 ", "helperVersion: unknown",
                                      "helperVersion: unknown", "helperVersion: unknown"}));
  for (const auto& e : sink->entries()) {
    EXPECT_EQ(e.level, log::Level::kInfo);
    EXPECT_EQ(e.subsystem, kHelperIdentifier);
    EXPECT_EQ(e.category, "helper");
  }
}

TEST_F(HelperVersionTest, PingIsAlwaysAliveAndSilent) {
  for (int i = 0; i < 3; ++i) {
    bool alive = false;
    helper.pingWithReply(PingReply([&](bool a) { alive = a; }));
    EXPECT_TRUE(alive);
  }
  EXPECT_TRUE(sink->entries().empty());
}

}  // namespace
}  // namespace tamsel
