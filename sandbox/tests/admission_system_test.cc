// Admission by code signature, against the real daemon: only a client signed for the team is
// served, as root and as a user. The proof is the log store: helperVersion writes an entry line
// when its body runs, so a refused request leaves no entry at all.
#include <gtest/gtest.h>

#include <string>

#include "platform/identity.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

TEST(AdmissionTest, OnlyTheTeamSignedClientIsServedAndRefusedOnesRunNoBody) {
  const LogStoreReader store;
  for (const char* copy : {"", "unsigned", "other-team", "other-root", "modified"}) {
    const std::string client =
        *copy ? std::string(kClientCopy) + copy : std::string(kSignedHelperctl);
    for (const std::optional<TestUser>& as : {std::optional<TestUser>(), std::optional(kAlice)}) {
      SCOPED_TRACE(client + (as ? " as alice" : " as root"));
      const std::int64_t mark = store.mark();
      const ProgramResult version = runProgram({client, "helperVersionWithReply:"}, as);
      const std::vector<StoredEntry> entries = store.entriesAfter(mark);
      if (*copy) {
        EXPECT_EQ(version.status, kRefused) << version.describe();
        EXPECT_TRUE(entries.empty()) << describe(entries);
      } else {
        EXPECT_EQ(version.out, std::string(TAMSEL_EXPECTED_VERSION) + "\n") << version.describe();
        ASSERT_EQ(entries.size(), 1u) << describe(entries);
        EXPECT_EQ(entries[0].message, std::string("helperVersion: ") + TAMSEL_EXPECTED_VERSION);
      }
    }
  }
}

}  // namespace
}  // namespace tamsel::systemtest
