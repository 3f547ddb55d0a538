#include "cli/code_identity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/codesign/code_signing_tools.h"
#include "platform/testing/scratch_dir.h"

namespace tamsel {
namespace {

const std::string kPki = TAMSEL_TEST_PKI_DIR;

codesign::SigningIdentity identity(const std::string& name) {
  codesign::SigningIdentity id{kPki + "/" + name + ".key", kPki + "/" + name + ".pem", "",
                               "app.tamsel.tamsel"};
  if (name == "team") id.chainPath = kPki + "/team-chain.pem";
  return id;
}

TEST(VerifyCodeIdentity, PassesOnlyAnIntactSignatureOfTheTeamUnderTheAnchor) {
  ScratchDir dir("code-identity");
  std::ofstream(dir.file("plain"), std::ios::binary) << std::string(100'000, 'x') << "tool";
  for (const char* name : {"team", "otherteam", "rogue"}) {
    ASSERT_TRUE(codesign::signFile(dir.file("plain"), dir.file(name), identity(name)).ok());
  }
  std::filesystem::copy_file(dir.file("team"), dir.file("modified"));
  std::fstream(dir.file("modified"), std::ios::in | std::ios::out | std::ios::binary).put('y');
  const auto anchor = codesign::anchorFromPemFile(kPki + "/root.pem");
  ASSERT_NE(anchor, nullptr);

  auto failed = [&](const char* name, const char* status) {
    return dir.file(name) + " failed code-identity verification (OSStatus " + status +
           "); refusing to install it";
  };
  const struct {
    std::string path;
    std::optional<std::string> expected;
  } cases[] = {
      {dir.file("team"), std::nullopt},
      {dir.file("missing"), "Could not read the code signature of " + dir.file("missing")},
      {dir.path(), "Could not read the code signature of " + dir.path()},
      {dir.file("plain"), failed("plain", "-67062")},
      {dir.file("otherteam"), failed("otherteam", "-67050")},
      {dir.file("rogue"), failed("rogue", "-67050")},
      {dir.file("modified"), failed("modified", "-67061")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(verifyCodeIdentity(c.path, anchor.get()), c.expected) << c.path;
  }
  // Without the anchor nothing passes.
  EXPECT_EQ(verifyCodeIdentity(dir.file("team"), nullptr), failed("team", "-67050"));
}

}  // namespace
}  // namespace tamsel
