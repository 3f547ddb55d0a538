#include "resolver/resolver_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/testing/reply_printers.h"
#include "platform/testing/scratch_dir.h"
#include "platform/testing/test_sink.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;

const std::string kMarker = "# Tamsel \xE2\x80\x94 auto-generated resolver for .";

class ResolverBodies : public ::testing::Test {
 protected:
  StatusReply install(const std::string& tld, const std::string& address, std::int64_t port) {
    return installResolverIn(dir_, logger_, tld, address, port);
  }
  StatusReply remove(const std::string& tld) { return removeResolverIn(dir_, logger_, tld); }

  std::shared_ptr<log::TestSink> sink_ = std::make_shared<log::TestSink>();
  log::Logger logger_{"app.tamsel.TamselHelper", "helper", sink_};
  ScratchDir scratch_{"resolver_test"};
  std::string root_ = scratch_.path();
  std::string dir_ = root_ + "/etc/resolver";
};

TEST_F(ResolverBodies, InstallCreatesTheDirectoryAndReplacesTheFileWhole) {
  EXPECT_EQ(install("test", "127.0.0.1", 53), StatusReply::success());
  EXPECT_EQ(ScratchDir::read(dir_ + "/test"),
            kMarker + "test domains\nnameserver 127.0.0.1\nport 53");
  EXPECT_EQ(install("test", "", INT64_MIN), StatusReply::success());
  EXPECT_EQ(ScratchDir::read(dir_ + "/test"),
            kMarker + "test domains\nnameserver \nport -9223372036854775808");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ResolverBodies, OnlyASingleDnsLabelNamesAFileAndOthersNeverTouchTheDisk) {
  for (const std::string& label :
       std::vector<std::string>{"test", "a", std::string(63, 'a'), "xn--p1ai", "123", "a-b"}) {
    EXPECT_TRUE(isValidDNSLabel(label)) << label;
  }
  for (const std::string& label :
       std::vector<std::string>{"", std::string(64, 'a'), "Test", "TEST", ".test", "-test", "test-",
                                "te.st", "a/b", "..", "../../x", "test ", "te_st", "t\xC3\xA9st",
                                "e\xCC\x81", std::string("te\0st", 5)}) {
    EXPECT_EQ(install(label, "127.0.0.1", 53),
              StatusReply::failure("Refusing to write resolver file: " + label +
                                   " is not a valid single DNS label"));
    EXPECT_EQ(remove(label), StatusReply::failure("Refusing to remove resolver file: " + label +
                                                  " is not a valid single DNS label"));
  }
  EXPECT_FALSE(fs::exists(root_ + "/etc"));
  // The entry line comes before the check.
  EXPECT_EQ(sink_->messages()[1], "removeResolver: tld=");
}

TEST_F(ResolverBodies, RemoveDeletesTheEntryAndAbsentOnesAreSuccess) {
  ASSERT_EQ(install("test", "127.0.0.1", 53), StatusReply::success());
  EXPECT_EQ(remove("test"), StatusReply::success());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + "/test")));
  EXPECT_EQ(remove("test"), StatusReply::success());

  // A dangling link counts as absent and stays; a link to a file goes, its target stays.
  fs::create_symlink(root_ + "/nowhere", dir_ + "/dangling");
  EXPECT_EQ(remove("dangling"), StatusReply::success());
  EXPECT_TRUE(fs::is_symlink(dir_ + "/dangling"));
  std::ofstream(root_ + "/target") << "keep";
  fs::create_symlink(root_ + "/target", dir_ + "/linked");
  EXPECT_EQ(remove("linked"), StatusReply::success());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + "/linked")));
  EXPECT_EQ(ScratchDir::read(root_ + "/target"), "keep");
}

TEST_F(ResolverBodies, FailuresCarryTheDescriptionAndErrno) {
  std::ofstream(root_ + "/etc") << "a file where the directory's parent should be";
  EXPECT_EQ(install("test", "127.0.0.1", 53),
            StatusReply::failure("Failed to write resolver file: could not create directory " +
                                     dir_ + ": " + std::strerror(ENOTDIR),
                                 ENOTDIR));
  // Entries under /proc cannot be removed, not even by root.
  StatusReply r = removeResolverIn("/proc/self", logger_, "cwd");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.code, 0);
  EXPECT_EQ(r.message, "Failed to remove resolver file: could not remove /proc/self/cwd: " +
                           std::string(std::strerror(r.code)));
}

}  // namespace
}  // namespace tamsel
