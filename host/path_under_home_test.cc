#include "host/path_under_home.h"

#include <unistd.h>

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

TEST(PathUnderHome, LexicalStandardisationInsideTheHome) {
  const string home = "/Users/alice";
  EXPECT_EQ(pathUnderHome("/Users/alice", home), optional<string>("/Users/alice"));
  EXPECT_EQ(pathUnderHome("/Users/alice/", home), optional<string>("/Users/alice"));
  EXPECT_EQ(pathUnderHome("/Users/alice/Library/x", home),
            optional<string>("/Users/alice/Library/x"));
  EXPECT_EQ(pathUnderHome("/Users/alice/./Library//x/", home),
            optional<string>("/Users/alice/Library/x"));
  EXPECT_EQ(pathUnderHome("//Users/alice/a/../b", home), optional<string>("/Users/alice/b"));
  EXPECT_EQ(pathUnderHome("/Users/alice/Library/x", "/Users/alice/"),
            optional<string>("/Users/alice/Library/x"));
  EXPECT_EQ(pathUnderHome("/../../Users/alice/x", home), optional<string>("/Users/alice/x"));
}

TEST(PathUnderHome, LexicalRefusals) {
  const string home = "/Users/alice";
  EXPECT_EQ(pathUnderHome("/Users/alice2/x", home), nullopt);
  EXPECT_EQ(pathUnderHome("/Users/alice/../bob/x", home), nullopt);
  EXPECT_EQ(pathUnderHome("/Users/alice/..", home), nullopt);
  EXPECT_EQ(pathUnderHome("/Users", home), nullopt);
  EXPECT_EQ(pathUnderHome("/Users/ALICE/x", home), nullopt);
  for (const char* p : {"/", "/etc", "/Users/alice", "/x/y"}) {
    EXPECT_EQ(pathUnderHome(p, "/"), nullopt) << p;
    EXPECT_EQ(pathUnderHome(p, "//"), nullopt) << p;
    EXPECT_EQ(pathUnderHome(p, "/Users/.."), nullopt) << p;
    EXPECT_EQ(pathUnderHome(p, ""), nullopt) << p;
  }
}

TEST(PathUnderHome, RelativePathsAreTakenFromTheWorkingDirectory) {
  const string cwd = fs::current_path().string();
  EXPECT_EQ(pathUnderHome("Library/x", "/Users/alice"), nullopt);
  EXPECT_EQ(pathUnderHome("Library/x", cwd), optional<string>(cwd + "/Library/x"));
  EXPECT_EQ(standardisePath("a/./b/../c/"), cwd + "/a/c");
  EXPECT_EQ(standardisePath("/a/b/../../.."), "/");
}

// A scratch tree with two homes and links that try to lead out of alice's.
class PathUnderHomeLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    alice_ = root_ + "/home/alice";
    bob_ = root_ + "/home/bob";
    fs::create_directories(alice_ + "/Library/data");
    fs::create_directories(bob_ + "/data");
    std::ofstream(alice_ + "/file") << "x";
    link("/etc", alice_ + "/etc");
    link("/", alice_ + "/root");
    link("../bob", alice_ + "/bob");
    link(bob_, alice_ + "/bobabs");
    link("Library", alice_ + "/inside");
    link("Library/../../bob", alice_ + "/updown");
    link("/etc/no-such-entry-here", alice_ + "/dangling");
    link("later", alice_ + "/future");
    link("loop2", alice_ + "/loop1");
    link("loop1", alice_ + "/loop2");
    link("etc", alice_ + "/chain");  // -> etc -> /etc
    link(root_ + "/home", root_ + "/homes");
    link("/", root_ + "/slash");
  }

  static void link(const string& target, const string& at) { fs::create_symlink(target, at); }

  ScratchDir scratch_{"path_under_home"};
  string root_, alice_, bob_;
};

TEST_F(PathUnderHomeLinks, LinksLeadingOutOfTheHomeAreRefused) {
  for (const char* rel : {"/etc", "/etc/passwd", "/etc/no-such-file", "/root", "/root/etc", "/bob",
                          "/bob/data", "/bobabs/data", "/updown/data", "/dangling", "/dangling/x",
                          "/chain/ssh", "/inside/../etc/x", "/loop1", "/loop1/x"}) {
    EXPECT_EQ(pathUnderHome(alice_ + rel, alice_), nullopt) << rel;
  }
}

TEST_F(PathUnderHomeLinks, PathsThatStayInsideAreAcceptedInTheirLexicalForm) {
  for (const char* rel : {"", "/Library", "/Library/data", "/inside", "/inside/data", "/future",
                          "/future/x", "/missing/x", "/file", "/file/x"}) {
    EXPECT_EQ(pathUnderHome(alice_ + rel + "/", alice_), optional<string>(alice_ + rel)) << rel;
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

TEST_F(PathUnderHomeLinks, ResolveSymlinksFollowsEveryLinkLikeTheKernel) {
  EXPECT_EQ(resolveSymlinks(alice_ + "/inside/data"),
            optional<string>(fs::canonical(alice_ + "/Library/data").string()));
  EXPECT_EQ(resolveSymlinks(alice_ + "/updown/data"),
            optional<string>(fs::canonical(bob_ + "/data").string()));
  EXPECT_EQ(resolveSymlinks(alice_ + "/dangling/x"), optional<string>("/etc/no-such-entry-here/x"));
  EXPECT_EQ(resolveSymlinks(alice_ + "/root"), optional<string>("/"));
  EXPECT_EQ(resolveSymlinks(alice_ + "/loop1"), nullopt);
}

}  // namespace
}  // namespace tamsel
