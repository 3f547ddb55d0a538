// Admission by code signature, against the real daemon: a client signed for the team is served;
// unsigned clients, clients of another team, of another root, or altered after signing are
// refused before any body runs. The proof is the log store: helperVersion writes an entry line
// when its body runs, so a refused request must leave no entry at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/identity.h"
#include "sandbox/tests/support/child_roles.h"
#include "sandbox/tests/support/log_store_reader.h"
#include "sandbox/tests/support/raw_connection.h"
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
  LogStoreReader store_{std::string(kLogStorePath)};

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
    EXPECT_EQ(entries[0].subsystem, "app.tamsel.TamselHelper");
    EXPECT_EQ(entries[0].category, "helper");
    EXPECT_EQ(entries[0].level, 2);  // info
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

// Child role: sends helperVersion on the connected socket it inherited as descriptor argv[0].
// Exit 0: a reply came; 1: the daemon refused (error frame or closed); 2: no answer at all.
// argv: the inherited descriptor; "introduce" to announce itself first, as a well-behaved
// second writer must, or "silent" to just speak.
const bool kInheritedRole = registerChildRole("request-on-inherited-fd", [](int argc, char** argv) {
  if (argc != 2) return 3;
  RawConnection conn{UniqueFd(std::atoi(argv[0]))};
  if (std::string_view(argv[1]) == "introduce") {
    const Outcome hello = conn.introduce(5'000);
    if (hello.kind != Outcome::Kind::kHello) {
      std::printf("%s\n", hello.describe().c_str());
      return hello.kind == Outcome::Kind::kTimeout ? 2 : 1;
    }
  }
  const Outcome outcome = conn.call(kVersionSelector, {}, 5'000);
  std::printf("%s\n", outcome.describe().c_str());
  switch (outcome.kind) {
    case Outcome::Kind::kReply:
      return 0;
    case Outcome::Kind::kError:
    case Outcome::Kind::kClosed:
      return 1;
    default:
      return 2;
  }
});

// Connects and is admitted, then lets program speak on the connection as descriptor 3.
int requestOnInheritedSocket(std::string_view program, const char* manner) {
  std::string error;
  std::optional<RawConnection> conn = openAdmitted(10'000, &error);
  if (!conn) {
    ADD_FAILURE() << error;
    return -1;
  }
  const std::string path(program);
  const int fd = conn->fd();
  return runInChild([&] {
    // Descriptor 3, without close-on-exec (dup2 onto itself would keep the flag).
    if (fd == 3 ? ::fcntl(3, F_SETFD, 0) != 0 : ::dup2(fd, 3) != 3) return 4;
    ::execl(path.c_str(), path.c_str(), "--child", "request-on-inherited-fd", "3", manner, nullptr);
    return 127;
  });
}

TEST_F(AdmissionTest, AProcessThatInheritsAnAdmittedSocketCannotSpeakOnIt) {
  // The signed binary speaking on an inherited socket is served: the role itself works.
  std::int64_t mark = store_.mark();
  EXPECT_EQ(requestOnInheritedSocket(kSignedSelf, "introduce"), 0);
  std::vector<StoredEntry> entries = store_.entriesAfter(mark);
  ASSERT_EQ(entries.size(), 1u) << describe(entries);
  EXPECT_EQ(entries[0].message, versionLine());

  // The unsigned copy of the same binary, on a socket an admitted process opened, is not,
  // whether it introduces itself or just speaks.
  for (const char* manner : {"introduce", "silent"}) {
    SCOPED_TRACE(manner);
    mark = store_.mark();
    const int status = requestOnInheritedSocket(kUnsignedSelf, manner);
    EXPECT_TRUE(status == 1 || status == 2) << "status " << status;
    entries = store_.entriesAfter(mark);
    EXPECT_TRUE(entries.empty()) << "the inheriting process reached a body:\n" << describe(entries);
  }
}

}  // namespace
}  // namespace tamsel::systemtest
