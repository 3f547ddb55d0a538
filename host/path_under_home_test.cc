#include "host/path_under_home.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/testing/scratch_dir.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;
using std::nullopt;
using std::optional;
using std::string;

TEST(PathUnderHome, LexicalStandardisationAndRefusals) {
  const string home = "/Users/alice";
  const string cwd = fs::current_path().string();
  const struct {
    string path, home;
    optional<string> expected;
  } cases[] = {
      {"/Users/alice", home, "/Users/alice"},
      {"/Users/alice/", home, "/Users/alice"},
      {"/Users/alice/./Library//x/", home, "/Users/alice/Library/x"},
      {"//Users/alice/a/../b", home, "/Users/alice/b"},
      {"/Users/alice/Library/x", "/Users/alice/", "/Users/alice/Library/x"},
      {"/../../Users/alice/x", home, "/Users/alice/x"},
      {"Library/x", cwd, cwd + "/Library/x"},  // relative: from the working directory
      {"Library/x", home, nullopt},
      {"/Users/alice2/x", home, nullopt},
      {"/Users/alice/../bob/x", home, nullopt},
      {"/Users/alice/..", home, nullopt},
      {"/Users", home, nullopt},
      {"/Users/ALICE/x", home, nullopt},
      // A home that is the root, or empty, contains nothing.
      {"/etc", "/", nullopt},
      {"/x/y", "//", nullopt},
      {"/Users/alice", "/Users/..", nullopt},
      {"/", "", nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(pathUnderHome(c.path, c.home), c.expected) << c.path;
  EXPECT_EQ(standardisePath("a/./b/../c/"), cwd + "/a/c");
  EXPECT_EQ(standardisePath("/a/b/../../.."), "/");
}

// A scratch tree with two homes and links that try to lead out of alice's.
class PathUnderHomeLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(alice_ + "/Library/data");
    fs::create_directories(bob_ + "/data");
    std::ofstream(alice_ + "/file") << "x";
    const std::pair<string, string> links[] = {
        {"/etc", alice_ + "/etc"},
        {"/", alice_ + "/root"},
        {"../bob", alice_ + "/bob"},
        {bob_, alice_ + "/bobabs"},
        {"Library", alice_ + "/inside"},
        {"Library/../../bob", alice_ + "/updown"},
        {"/etc/no-such-entry-here", alice_ + "/dangling"},
        {"later", alice_ + "/future"},
        {"loop2", alice_ + "/loop1"},
        {"loop1", alice_ + "/loop2"},
        {"etc", alice_ + "/chain"},  // -> etc -> /etc
        {root_ + "/home", root_ + "/homes"},
        {"/", root_ + "/slash"},
    };
    for (const auto& [target, at] : links) fs::create_symlink(target, at);
  }

  ScratchDir scratch_{"path_under_home"};
  string root_ = scratch_.path();
  string alice_ = root_ + "/home/alice";
  string bob_ = root_ + "/home/bob";
};

// Inside: accepted in its lexical form; a link that leads out, anywhere on the way: refused.
TEST_F(PathUnderHomeLinks, OnlyPathsThatStayInsideAreAccepted) {
  for (const char* rel : {"", "/Library", "/Library/data", "/inside", "/inside/data", "/future",
                          "/future/x", "/missing/x", "/file", "/file/x"}) {
    EXPECT_EQ(pathUnderHome(alice_ + rel + "/", alice_), optional<string>(alice_ + rel)) << rel;
  }
  for (const char* rel : {"/etc", "/etc/passwd", "/etc/no-such-file", "/root", "/root/etc", "/bob",
                          "/bob/data", "/bobabs/data", "/updown/data", "/dangling", "/dangling/x",
                          "/chain/ssh", "/inside/../etc/x", "/loop1", "/loop1/x"}) {
    EXPECT_EQ(pathUnderHome(alice_ + rel, alice_), nullopt) << rel;
  }
}

TEST_F(PathUnderHomeLinks, HomeReachedThroughALinkAndAHomeThatResolvesToRoot) {
  const string linkedHome = root_ + "/homes/alice";
  EXPECT_EQ(pathUnderHome(linkedHome + "/Library", linkedHome),
            optional<string>(linkedHome + "/Library"));
  EXPECT_EQ(pathUnderHome(linkedHome + "/bob/data", linkedHome), nullopt);
  EXPECT_EQ(pathUnderHome(root_ + "/slash/etc", root_ + "/slash"), nullopt);
  EXPECT_EQ(pathUnderHome(root_ + "/slash", root_ + "/slash"), nullopt);
}

}  // namespace
}  // namespace tamsel
