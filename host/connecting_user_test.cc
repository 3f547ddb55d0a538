#include "host/connecting_user.h"

#include <pwd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace tamsel {
namespace {

// A user database that answers ERANGE until the buffer has `needed` bytes, then `error` and
// `home` (absent: no such user).
TEST(PasswdEntry, LargeEntriesAreFoundAndTheLookupGivesUpAtOneMebibyte) {
  const std::optional<std::string> none;
  const struct {
    long suggested;
    std::size_t needed;
    int error;
    std::optional<std::string> home, found;
  } cases[] = {
      {-1, 40000, 0, "/home/alice", "/home/alice"},
      {0, 1048576, 0, "/home/alice", "/home/alice"},
      {-1, 1048577, 0, "/home/alice", none},
      {300000, SIZE_MAX, 0, "/home/alice", none},
      {4 << 20, SIZE_MAX, 0, "/home/alice", none},  // a suggestion above the cap is not grown
      {-1, 0, 0, none, none},
      {-1, 0, 0, "", none},
      {-1, 0, EIO, "/home/alice", none},
      {-1, 0, 0, "/home/\xC3\xA9l\xFFve", "/home/\xC3\xA9l\xEF\xBF\xBDve"},
  };
  for (const auto& c : cases) {
    std::size_t largest = 0;
    auto entry = passwdEntryUsing(501, c.suggested, [&](std::uint32_t, std::size_t size) {
      largest = std::max(largest, size);
      if (size < c.needed) return UserDatabaseAnswer{ERANGE, std::nullopt, 0};
      return UserDatabaseAnswer{c.error, c.home, 20};
    });
    EXPECT_EQ(entry ? std::optional(entry->home) : std::nullopt, c.found) << c.needed;
    EXPECT_LE(largest, std::max<std::size_t>(1048576, c.suggested)) << c.needed;
    EXPECT_EQ(entry ? entry->gid : 20u, 20u);
  }
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
