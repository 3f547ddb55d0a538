#include "resolver/resolver_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/scratch_dir.h"

#include "service/test_support.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;

TEST(DnsLabel, AcceptedAndRefused) {
  for (const std::string& label : std::vector<std::string>{"test", "a", std::string(63, 'a'),
                                                           "xn--p1ai", "123", "a-b", "0x"}) {
    EXPECT_TRUE(isValidDNSLabel(label)) << label;
  }
  for (const std::string& label :
       std::vector<std::string>{"", std::string(64, 'a'), "Test", "TEST", ".test", "-test", "test-",
                                "te.st", "a/b", "..", "test ", " test", "te_st", "t\xC3\xA9st",
                                "e\xCC\x81", "te\tst", std::string("te\0st", 5), "-", "tést"}) {
    EXPECT_FALSE(isValidDNSLabel(label)) << label;
  }
}

TEST(DnsLabel, FilePathsStayDirectlyInTheResolverDirectory) {
  EXPECT_EQ(resolverFilePath("test"), std::optional<std::string>("/etc/resolver/test"));
  EXPECT_EQ(resolverFilePath("xn--p1ai"), std::optional<std::string>("/etc/resolver/xn--p1ai"));
  for (const char* label : {"..", ".", "a/b", "../passwd", ""}) {
    EXPECT_EQ(resolverFilePath(label), std::nullopt) << label;
  }
  EXPECT_EQ(resolverFilePathIn("/var/tmp/x/", "dev"), std::optional<std::string>("/var/tmp/x/dev"));
}

TEST(ResolverFileContent, ByteForByte) {
  const std::string piece1 = "# Tamsel \xE2\x80\x94 auto-generated resolver for .";
  EXPECT_EQ(piece1.size(), 42u);
  EXPECT_EQ(resolverFileContent("test", "127.0.0.1", 53),
            piece1 + "test domains\nnameserver 127.0.0.1\nport 53");
  EXPECT_EQ(resolverFileContent("dev", "::1", -5353),
            piece1 + "dev domains\nnameserver ::1\nport -5353");
  EXPECT_EQ(resolverFileContent("x", "", 0), piece1 + "x domains\nnameserver \nport 0");
  EXPECT_EQ(resolverFileContent("x", "a b\n", INT64_MIN),
            piece1 + "x domains\nnameserver a b\n\nport -9223372036854775808");
}

class ResolverBodies : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    dir_ = root_ + "/etc/resolver";
  }

  Answer install(const std::string& tld, const std::string& address, std::int64_t port) {
    Answer a;
    installResolverIn(dir_, helper_, tld, address, port, into(a));
    EXPECT_EQ(a.calls, 1);
    return a;
  }
  Answer remove(const std::string& tld) {
    Answer a;
    removeResolverIn(dir_, helper_, tld, into(a));
    EXPECT_EQ(a.calls, 1);
    return a;
  }
  std::vector<std::string> logLines() const { return sink_->messages(); }

  std::shared_ptr<TestSink> sink_ = std::make_shared<TestSink>();
  HelperImpl helper_{log::Logger("app.tamsel.TamselHelper", "helper", sink_)};
  ScratchDir scratch_{"resolver_test"};
  std::string root_, dir_;
};

TEST_F(ResolverBodies, InstallCreatesTheMissingDirectoryAndWritesTheFile) {
  Answer a = install("test", "127.0.0.1", 53);
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.message, std::nullopt);
  EXPECT_EQ(a.code, 0);
  EXPECT_EQ(readFile(dir_ + "/test"),
            "# Tamsel \xE2\x80\x94 auto-generated resolver for .test domains\n"
            "nameserver 127.0.0.1\nport 53");
  ASSERT_EQ(sink_->entries().size(), 1u);
  EXPECT_EQ(sink_->entries()[0].level, log::Level::kInfo);
  EXPECT_EQ(logLines()[0], "installResolver: tld=test, address=127.0.0.1, port=53");
}

TEST_F(ResolverBodies, InstallReplacesAnExistingFileWhole) {
  ASSERT_TRUE(install("test", "127.0.0.1", 5353).ok);
  ASSERT_TRUE(install("test", "", -1).ok);
  EXPECT_EQ(
      readFile(dir_ + "/test"),
      "# Tamsel \xE2\x80\x94 auto-generated resolver for .test domains\nnameserver \nport -1");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  EXPECT_EQ(logLines()[1], "installResolver: tld=test, address=, port=-1");
}

TEST_F(ResolverBodies, InvalidLabelsAreRefusedWithoutTouchingTheDisk) {
  for (const std::string& label :
       std::vector<std::string>{"", std::string(64, 'a'), "Test", "TEST", ".test", "-test", "test-",
                                "te.st", "a/b", "..", "test ", "../../tmp/x"}) {
    Answer in = install(label, "127.0.0.1", 53);
    EXPECT_FALSE(in.ok);
    EXPECT_EQ(in.message,
              "Refusing to write resolver file: " + label + " is not a valid single DNS label");
    EXPECT_EQ(in.code, 0);
    Answer out = remove(label);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.message,
              "Refusing to remove resolver file: " + label + " is not a valid single DNS label");
    EXPECT_EQ(out.code, 0);
  }
  EXPECT_FALSE(fs::exists(root_ + "/etc"));
  Answer empty = install("", "x", 1);
  EXPECT_EQ(empty.message,
            std::string("Refusing to write resolver file:  is not a valid single DNS label"));
  // The entry line is written before the check.
  EXPECT_EQ(logLines().back(), "installResolver: tld=, address=x, port=1");
  EXPECT_EQ(logLines()[1], "removeResolver: tld=");
}

TEST_F(ResolverBodies, RemoveDeletesTheFileAndAbsentEntriesAreSuccess) {
  ASSERT_TRUE(install("test", "127.0.0.1", 53).ok);
  Answer a = remove("test");
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.message, std::nullopt);
  EXPECT_EQ(a.code, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + "/test")));
  EXPECT_EQ(logLines().back(), "removeResolver: tld=test");

  Answer again = remove("test");
  EXPECT_TRUE(again.ok);
  EXPECT_EQ(again.code, 0);

  // A link whose target is missing counts as absent and stays.
  fs::create_symlink(root_ + "/nowhere", dir_ + "/dangling");
  Answer dangling = remove("dangling");
  EXPECT_TRUE(dangling.ok);
  EXPECT_TRUE(fs::is_symlink(dir_ + "/dangling"));

  // A link to a real file: the link goes, its target stays.
  std::ofstream(root_ + "/target") << "keep";
  fs::create_symlink(root_ + "/target", dir_ + "/linked");
  EXPECT_TRUE(remove("linked").ok);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + "/linked")));
  EXPECT_EQ(readFile(root_ + "/target"), "keep");

  // Removal in a directory that does not exist yet is still success.
  fs::remove_all(dir_);
  EXPECT_TRUE(remove("test").ok);
}

TEST_F(ResolverBodies, FailuresCarryTheDescriptionAndErrno) {
  // The resolver directory cannot be created because a parent is a file.
  fs::create_directories(root_);
  std::ofstream(root_ + "/etc") << "not a directory";
  Answer a = install("test", "127.0.0.1", 53);
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(a.code, ENOTDIR);
  EXPECT_EQ(a.message, "Failed to write resolver file: could not create directory " + root_ +
                           "/etc/resolver: " + std::strerror(ENOTDIR));

  // The path holds a directory that cannot be replaced by a file.
  fs::remove(root_ + "/etc");
  fs::create_directories(dir_ + "/busy/inner");
  Answer b = install("busy", "127.0.0.1", 53);
  EXPECT_FALSE(b.ok);
  EXPECT_NE(b.code, 0);
  EXPECT_EQ(b.message, "Failed to write resolver file: could not write " + dir_ +
                           "/busy: " + std::strerror(b.code));
  EXPECT_TRUE(fs::is_directory(dir_ + "/busy/inner"));
}

TEST_F(ResolverBodies, RemoveFailureCarriesTheDescriptionAndErrno) {
  // Entries under /proc cannot be removed, not even by root.
  Answer a;
  removeResolverIn("/proc/self", helper_, "cwd", into(a));
  EXPECT_EQ(a.calls, 1);
  EXPECT_FALSE(a.ok);
  EXPECT_NE(a.code, 0);
  EXPECT_EQ(a.message, std::string("Failed to remove resolver file: could not remove /proc/self/"
                                   "cwd: ") +
                           std::strerror(a.code));
}

}  // namespace
}  // namespace tamsel
