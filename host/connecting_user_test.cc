#include "host/connecting_user.h"

#include <pwd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "host/passwd_lookup.h"
#include "platform/ipc/service.h"

namespace tamsel {
namespace {

// A user database with one entry, answering ERANGE until the buffer reaches needed bytes.
struct FakeDatabase {
  std::size_t needed = 0;
  const char* home = "/home/alice";
  std::vector<std::size_t> sizesTried;

  PasswdLookup lookup() {
    return [this](uid_t uid, passwd* entry, char* buffer, std::size_t size, passwd** result) {
      sizesTried.push_back(size);
      *result = nullptr;
      if (size < needed) return ERANGE;
      if (uid != 501) return 0;
      std::strncpy(buffer, home, size - 1);
      entry->pw_dir = buffer;
      entry->pw_gid = 20;
      *result = entry;
      return 0;
    };
  }
};

TEST(PasswdEntry, BufferGrowsByDoublingFromTheFallbackAndGivesUpAfterSevenTries) {
  FakeDatabase db{.needed = SIZE_MAX};
  EXPECT_FALSE(passwdEntryUsing(501, -1, db.lookup()));
  EXPECT_EQ(db.sizesTried,
            (std::vector<std::size_t>{16384, 32768, 65536, 131072, 262144, 524288, 1048576}));

  FakeDatabase zero{.needed = SIZE_MAX};
  EXPECT_FALSE(passwdEntryUsing(501, 0, zero.lookup()));
  EXPECT_EQ(zero.sizesTried.size(), 7u);
  EXPECT_EQ(zero.sizesTried.front(), 16384u);
}

TEST(PasswdEntry, SuggestedSizeIsTheFirstAndGrowthStopsAtOneMebibyte) {
  FakeDatabase db{.needed = SIZE_MAX};
  EXPECT_FALSE(passwdEntryUsing(501, 300000, db.lookup()));
  EXPECT_EQ(db.sizesTried, (std::vector<std::size_t>{300000, 600000, 1048576}));

  FakeDatabase big{.needed = SIZE_MAX};
  EXPECT_FALSE(passwdEntryUsing(501, 4 << 20, big.lookup()));
  EXPECT_EQ(big.sizesTried, (std::vector<std::size_t>{4u << 20}));
}

TEST(PasswdEntry, FoundAfterGrowing) {
  FakeDatabase db{.needed = 40000};
  auto entry = passwdEntryUsing(501, -1, db.lookup());
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->home, "/home/alice");
  EXPECT_EQ(entry->gid, 20u);
  EXPECT_EQ(db.sizesTried, (std::vector<std::size_t>{16384, 32768, 65536}));
}

TEST(PasswdEntry, AbsentCases) {
  FakeDatabase noUser;
  EXPECT_FALSE(passwdEntryUsing(777, -1, noUser.lookup()));

  FakeDatabase emptyHome{.home = ""};
  EXPECT_FALSE(passwdEntryUsing(501, -1, emptyHome.lookup()));

  // Any error other than a short buffer ends the lookup at once.
  std::size_t calls = 0;
  PasswdLookup failing = [&](uid_t, passwd*, char*, std::size_t, passwd** r) {
    ++calls;
    *r = nullptr;
    return EIO;
  };
  EXPECT_FALSE(passwdEntryUsing(501, -1, failing));
  EXPECT_EQ(calls, 1u);
}

TEST(PasswdEntry, HomeIsDecodedAsUtf8WithReplacementCharacters) {
  FakeDatabase db{.home = "/home/\xC3\xA9l\xFFve"};
  auto entry = passwdEntryUsing(501, -1, db.lookup());
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->home, "/home/\xC3\xA9l\xEF\xBF\xBDve");
}

TEST(PasswdEntry, RealDatabase) {
  passwd* root = ::getpwuid(0);
  ASSERT_NE(root, nullptr);
  auto entry = passwdEntry(0);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->home, root->pw_dir);
  EXPECT_EQ(entry->gid, root->pw_gid);
  EXPECT_FALSE(passwdEntry(3999999999u));
}

TEST(ConnectingUserHome, FollowsThePeerOfTheRequestBeingServed) {
  EXPECT_FALSE(connectingUserHome()) << "no request is being served";
  {
    ipc::ScopedRequestPeer request({.pid = 1, .uid = 0, .gid = 0});
    auto home = connectingUserHome();
    ASSERT_TRUE(home);
    EXPECT_EQ(*home, ::getpwuid(0)->pw_dir);
  }
  {
    ipc::ScopedRequestPeer request({.pid = 1, .uid = 3999999999u, .gid = 0});
    EXPECT_FALSE(connectingUserHome());
  }
  EXPECT_FALSE(connectingUserHome());
}

}  // namespace
}  // namespace tamsel
