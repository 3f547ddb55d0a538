#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/testing/file_size_limit.h"
#include "platform/testing/scratch_dir.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;

class FileOps : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = scratch_.path(); }

  static std::string read(const std::string& path) { return ScratchDir::read(path); }
  std::size_t entriesIn(const std::string& path) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(path), fs::directory_iterator()));
  }

  ScratchDir scratch_{"file_ops"};
  std::string dir_;
};

TEST_F(FileOps, AtomicWriteCreatesAndReplacesLeavingNoStagingFile) {
  const std::string path = dir_ + "/test";
  ASSERT_TRUE(atomicWriteFile(path, std::string("one\0two", 7)).ok());
  EXPECT_EQ(read(path), std::string("one\0two", 7));
  ASSERT_TRUE(atomicWriteFile(path, "").ok());
  EXPECT_EQ(read(path), "");
  EXPECT_EQ(entriesIn(dir_), 1u);

  // The file gets the process's default mode, readable by others under the usual umask.
  mode_t mask = ::umask(022);
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(FileOps, AFailedAtomicWriteKeepsTheOldFileAndLeavesNoStagingFile) {
  const std::string path = dir_ + "/test";
  ASSERT_TRUE(atomicWriteFile(path, "old").ok());
  Status s = [&] {
    const testing::FileSizeLimit limit(4);
    return atomicWriteFile(path, "much longer than four bytes");
  }();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code, EFBIG);
  EXPECT_EQ(read(path), "old");
  EXPECT_EQ(entriesIn(dir_), 1u);
}

TEST_F(FileOps, AtomicWriteReplacesALinkRatherThanWritingThroughIt) {
  const std::string outside = dir_ + "/outside";
  std::ofstream(outside) << "keep";
  fs::create_symlink(outside, dir_ + "/test");
  ASSERT_TRUE(atomicWriteFile(dir_ + "/test", "new").ok());
  EXPECT_FALSE(fs::is_symlink(dir_ + "/test"));
  EXPECT_EQ(read(dir_ + "/test"), "new");
  EXPECT_EQ(read(outside), "keep");
}

TEST_F(FileOps, RemoveItemRemovesLinksNotTheirTargets) {
  fs::create_directories(dir_ + "/keep");
  std::ofstream(dir_ + "/keep/file") << "x";
  fs::create_directories(dir_ + "/tree/a/b");
  std::ofstream(dir_ + "/tree/a/b/f") << "x";
  fs::create_symlink(dir_ + "/keep", dir_ + "/tree/a/linkdir");
  fs::create_symlink(dir_ + "/keep/file", dir_ + "/tree/linkfile");
  fs::create_symlink(dir_ + "/keep", dir_ + "/toplink");

  ASSERT_TRUE(removeItem(dir_ + "/tree").ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + "/tree")));
  ASSERT_TRUE(removeItem(dir_ + "/toplink").ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + "/toplink")));
  EXPECT_EQ(read(dir_ + "/keep/file"), "x");

  Status missing = removeItem(dir_ + "/nothing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
}

}  // namespace
}  // namespace tamsel
