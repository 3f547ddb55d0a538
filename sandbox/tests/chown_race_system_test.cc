// The data-directory hand-back raced by its own user: alice keeps swapping entries of her home
// between a directory and a link out of it (to /etc, to bob's home) while asking the daemon to
// hand paths through them to her. Whatever the timing, no owner outside her home may change.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "sandbox/tests/support/raw_connection.h"
#include "sandbox/tests/support/sandbox_env.h"

namespace tamsel::systemtest {
namespace {

namespace fs = std::filesystem;

constexpr int kFlips = 2000;
constexpr const char* kChown = "chownTamselDataDirWithPath:toUid:reply:";

// uid:gid of "/", "/Users" and every entry of the trees at roots, links not followed.
std::map<std::string, std::string> owners(const std::vector<std::string>& roots) {
  std::map<std::string, std::string> out;
  auto note = [&out](const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      out[path] = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
    }
  };
  note("/");
  note("/Users");
  for (const std::string& root : roots) {
    note(root);
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      note(it->path().string());
    }
  }
  return out;
}

void restoreOwners(const std::map<std::string, std::string>& saved) {
  for (const auto& [path, owner] : saved) {
    unsigned uid = 0, gid = 0;
    if (std::sscanf(owner.c_str(), "%u:%u", &uid, &gid) == 2) ::lchown(path.c_str(), uid, gid);
  }
}

class ChownRaceSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"/race-etc", "/race-bob"}) {
      const std::string dir = home_ + name;
      fs::remove_all(dir);
      fs::remove_all(dir + ".alt");
      fs::create_directories(dir);
      ASSERT_EQ(::lchown(dir.c_str(), kAlice.uid, kAlice.gid), 0);
    }
    std::ofstream(home_ + "/race-etc/passwd") << "alice's own";
    std::ofstream(home_ + "/race-bob/secret") << "alice's own";
    fs::create_symlink("/etc", home_ + "/race-etc.alt");
    fs::create_symlink(kBob.home, home_ + "/race-bob.alt");
    std::ofstream(bob_ + "/secret") << "bob's";
    ASSERT_EQ(::lchown((bob_ + "/secret").c_str(), kBob.uid, kBob.gid), 0);
    for (const auto& e : fs::directory_iterator(std::string(kToolFdsDir))) fs::remove(e.path());
  }
  void TearDown() override {
    for (const char* name : {"/race-etc", "/race-bob"}) {
      fs::remove_all(home_ + name);
      fs::remove_all(home_ + name + ".alt");
    }
    fs::remove(bob_ + "/secret");
  }

  const std::string home_{kAlice.home};
  const std::string bob_{kBob.home};
};

TEST_F(ChownRaceSystemTest, SwappingLinksUnderTheCheckNeverChangesAnOwnerOutsideTheHome) {
  const std::optional<pid_t> daemon = daemonPid();
  ASSERT_TRUE(daemon);
  const std::vector<std::string> watched = {"/etc", bob_};
  const std::map<std::string, std::string> before = owners(watched);

  int done[2];
  int report[2];
  ASSERT_EQ(::pipe2(done, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  UniqueFd doneRead(done[0]), doneWrite(done[1]), reportRead(report[0]), reportWrite(report[1]);

  // Each flip exchanges a directory and a link in one step; the write end of `done` closes when
  // the flipper ends.
  Child flipper(kAlice, [&] {
    doneRead.reset();
    for (int i = 0; i < kFlips; ++i) {
      for (const char* name : {"race-etc", "race-bob"}) {
        const std::string path = home_ + "/" + name;
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, (path + ".alt").c_str(),
                        RENAME_EXCHANGE) != 0) {
          return 1;
        }
      }
      ::usleep(250);
    }
    return 0;
  });
  doneWrite.reset();
  Child asker(kAlice, [&] {
    std::optional<RawConnection> conn = openAdmitted(10'000);
    if (!conn) return 2;
    std::map<std::string, int> outcomes;
    pollfd flipping{doneRead.get(), POLLIN, 0};
    for (int i = 0; i < 100'000 && ::poll(&flipping, 1, 0) == 0; ++i) {
      const char* rel = i % 2 ? "/race-etc/passwd" : "/race-bob/secret";
      Outcome o = conn->call(kChown, arguments(text(home_ + rel), std::int64_t{501}), 10'000);
      if (o.kind != Outcome::Kind::kReply) return 3;
      const std::string message = stringAt(o, 1).value_or("");
      ++outcomes[firstValueIsYes(o) ? "YES" : message.substr(0, message.find("/Users"))];
    }
    std::string line;
    for (const auto& [what, count] : outcomes) line += what + " x" + std::to_string(count) + "; ";
    return ::write(reportWrite.get(), line.data(), line.size()) >= 0 ? 0 : 4;
  });
  reportWrite.reset();
  ASSERT_EQ(flipper.wait(), 0);
  ASSERT_EQ(asker.wait(), 0);
  char buffer[1024] = {};
  const ssize_t n = ::read(reportRead.get(), buffer, sizeof buffer - 1);
  const std::string outcomes(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  std::printf("[ race     ] %d flips; replies: %s\n", kFlips, outcomes.c_str());

  const std::map<std::string, std::string> after = owners(watched);
  restoreOwners(before);  // so that a failure here does not spread to later tests
  for (const auto& [path, owner] : before) {
    auto it = after.find(path);
    EXPECT_TRUE(it != after.end() && it->second == owner)
        << path << " was " << owner << ", now " << (it == after.end() ? "gone" : it->second);
  }
  EXPECT_EQ(after.size(), before.size());
  // The race was really run: chown was started while the entries were flipping.
  std::size_t toolRuns = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(std::string(kToolFdsDir))) {
    ++toolRuns;
  }
  EXPECT_GT(toolRuns, 5u) << outcomes;
  EXPECT_EQ(daemonPid(), daemon);
}

}  // namespace
}  // namespace tamsel::systemtest
