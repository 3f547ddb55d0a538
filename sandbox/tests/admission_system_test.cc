// Admission by code signature, against the real daemon: a client signed for the team is served;
// unsigned clients, clients of another team, of another root, or altered after signing are
// refused before any body runs. The proof is the log store: helperVersion writes an entry line
// when its body runs, so a refused request must leave no entry at all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/identity.h"
#include "sandbox/tests/support/log_store_reader.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

constexpr const char* kVersionSelector = "helperVersionWithReply:";
constexpr const char* kPingSelector = "pingWithReply:";
// Exit status of tamsel-helperctl for usage and connection errors (a refused peer included).
constexpr int kConnectionError = 2;

std::string versionLine() {
  return std::string("helperVersion: ") + TAMSEL_EXPECTED_VERSION;
}

class AdmissionTest : public testing::Test {
 protected:
  LogStoreReader store_;

  // Runs the signed client's helperVersion and checks that exactly its entry line was logged:
  // the daemon is up and the store is read correctly, so an empty result elsewhere means
  // something.
  void expectServed(const std::optional<TestUser>& as) {
    const std::int64_t mark = store_.mark();
    const ProgramResult version = runProgram({std::string(kSignedHelperctl), kVersionSelector}, as);
    ASSERT_EQ(version.status, 0) << version.describe();
    EXPECT_NE(version.out.find(TAMSEL_EXPECTED_VERSION), std::string::npos) << version.describe();
    const std::vector<StoredEntry> entries = store_.entriesAfter(mark);
    ASSERT_EQ(entries.size(), 1u) << describe(entries);
    EXPECT_EQ(entries[0].message, versionLine());
  }
};

TEST_F(AdmissionTest, TeamSignedClientIsServedAsRootAndAsAUser) {
  expectServed(std::nullopt);
  expectServed(kAlice);
  for (const auto& as : {std::optional<TestUser>(), std::optional<TestUser>(kBob)}) {
    const ProgramResult ping = runProgram({std::string(kSignedHelperctl), kPingSelector}, as);
    EXPECT_EQ(ping.status, 0) << ping.describe();
  }
}

class RefusedClientTest : public AdmissionTest, public testing::WithParamInterface<ClientCopy> {};

TEST_P(RefusedClientTest, IsRefusedAndNoBodyRuns) {
  const ClientCopy copy = GetParam();
  for (const auto& as : {std::optional<TestUser>(), std::optional<TestUser>(kAlice)}) {
    const std::int64_t mark = store_.mark();
    const ProgramResult version = runProgram({copy.path(), kVersionSelector}, as);
    const ProgramResult ping = runProgram({copy.path(), kPingSelector}, as);
    EXPECT_EQ(version.status, kConnectionError) << copy.what << ": " << version.describe();
    EXPECT_EQ(ping.status, kConnectionError) << copy.what << ": " << ping.describe();
    EXPECT_EQ(version.out.find(TAMSEL_EXPECTED_VERSION), std::string::npos) << version.describe();
    const std::vector<StoredEntry> entries = store_.entriesAfter(mark);
    EXPECT_TRUE(entries.empty()) << copy.what << " client caused log entries:\n"
                                 << describe(entries);
  }
  // The same program, signed for the team, is served at once: what was refused is the signature.
  expectServed(kAlice);
}

INSTANTIATE_TEST_SUITE_P(Copies, RefusedClientTest,
                         testing::Values(kUnsignedClient, kOtherTeamClient, kOtherRootClient,
                                         kModifiedClient),
                         [](const testing::TestParamInfo<ClientCopy>& p) {
                           std::string name;
                           for (char c : p.param.fileName.substr(17)) {
                             if (c != '-') name += c;
                           }
                           return name;
                         });

}  // namespace
}  // namespace tamsel::systemtest
