#include "service/helper_version.h"

#include <gtest/gtest.h>

#include "platform/identity.h"
#include "platform/testing/test_sink.h"

namespace tamsel {
namespace {

std::optional<InfoDictionary> dictWith(std::string_view body) {
  return InfoDictionary::fromPlist(std::string("<plist version=\"1.0\"><dict>") +
                                   std::string(body) + "</dict></plist>");
}

TEST(HelperVersion, TheStringAsStoredOrUnknown) {
  const log::Logger logger(std::string(kHelperIdentifier), "helper",
                           std::make_shared<log::TestSink>());
  const struct {
    std::optional<InfoDictionary> info;
    std::string version;
  } cases[] = {
      {dictWith("<key>CFBundleShortVersionString</key><string> 2.0.1 </string>"), " 2.0.1 "},
      {dictWith("<key>CFBundleShortVersionString</key><integer>2</integer>"), "unknown"},
      {dictWith("<key>CFBundleVersion</key><string>20260101</string>"), "unknown"},
      {std::nullopt, "unknown"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(helperVersion(logger, c.info).version, c.version);
  }
}

}  // namespace
}  // namespace tamsel
