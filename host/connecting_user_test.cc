#include "host/connecting_user.h"

#include <pwd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace tamsel {
namespace {

// A user database with alice (501), answering ERANGE until the buffer reaches needed bytes.
struct FakeDatabase {
  std::size_t needed = 0;
  std::string home = "/home/alice";
  std::size_t largestTried = 0;
  int calls = 0;

  UserLookup lookup() {
    return [this](std::uint32_t uid, std::size_t size) -> UserDatabaseAnswer {
      ++calls;
      largestTried = std::max(largestTried, size);
      if (size < needed) return {ERANGE, std::nullopt, 0};
      if (uid != 501) return {};
      return {0, home, 20};
    };
  }
};

TEST(PasswdEntry, LargeEntriesAreFoundAndTheLookupGivesUpAtOneMebibyte) {
  const struct {
    long suggested;
    std::size_t needed;
    bool found;
    int calls;
  } cases[] = {
      {-1, 40000, true, 3},           // 16384, 32768, 65536
      {0, 1048576, true, 7},          // up to 1 MiB
      {-1, 1048577, false, 7},        // gives up after 1 MiB
      {300000, SIZE_MAX, false, 3},   // 300000, 600000, 1048576
      {4 << 20, SIZE_MAX, false, 1},  // a suggestion above the cap is tried once
  };
  for (const auto& c : cases) {
    FakeDatabase db{.needed = c.needed};
    auto entry = passwdEntryUsing(501, c.suggested, db.lookup());
    EXPECT_EQ(entry.has_value(), c.found) << c.needed;
    EXPECT_EQ(db.calls, c.calls) << c.needed;
    EXPECT_LE(db.largestTried, std::max<std::size_t>(1048576, c.suggested));
    if (entry) {
      EXPECT_EQ(entry->gid, 20u);
    }
  }
}

TEST(PasswdEntry, AbsentCasesAndLossyHomes) {
  FakeDatabase db;
  EXPECT_FALSE(passwdEntryUsing(777, -1, db.lookup()));
  FakeDatabase emptyHome{.home = ""};
  EXPECT_FALSE(passwdEntryUsing(501, -1, emptyHome.lookup()));
  int calls = 0;  // any error but a short buffer ends the lookup at once
  EXPECT_FALSE(passwdEntryUsing(
      501, -1, [&](std::uint32_t, std::size_t) { return ++calls, UserDatabaseAnswer{EIO}; }));
  EXPECT_EQ(calls, 1);
  FakeDatabase lossy{.home = "/home/\xC3\xA9l\xFFve"};
  EXPECT_EQ(passwdEntryUsing(501, -1, lossy.lookup())->home, "/home/\xC3\xA9l\xEF\xBF\xBDve");
}

TEST(ConnectingUserHome, TheHomeOfThePeersUser) {
  EXPECT_FALSE(connectingUserHome(std::nullopt)) << "no request is being served";
  EXPECT_EQ(connectingUserHome(ipc::PeerCredentials{.pid = 1, .uid = 0, .gid = 0}),
            std::optional<std::string>(::getpwuid(0)->pw_dir));
  EXPECT_EQ(passwdEntry(0)->gid, ::getpwuid(0)->pw_gid);
  EXPECT_FALSE(connectingUserHome(ipc::PeerCredentials{.pid = 1, .uid = 3999999999u, .gid = 0}));
}

}  // namespace
}  // namespace tamsel
