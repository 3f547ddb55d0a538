#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/testing/file_size_limit.h"
#include "platform/testing/scratch_dir.h"

namespace tamsel {
namespace {

namespace fs = std::filesystem;

// The file at the path is replaced whole (a link there too, not written through), or kept as it
// was when the write fails; no staging file is left either way.
TEST(FileOps, AtomicWriteReplacesOrKeepsTheFileAndLeavesNoStagingFile) {
  ScratchDir dir("file_ops");
  const std::string path = dir.file("test"), outside = dir.file("outside"), old("one\0two", 7);
  std::ofstream(outside) << "keep";
  fs::create_symlink(outside, path);
  ASSERT_TRUE(atomicWriteFile(path, old).ok());
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(ScratchDir::read(path), old);
  EXPECT_EQ(ScratchDir::read(outside), "keep");
  // The process's default mode: readable by others under the usual umask.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  Status s = [&] {
    const testing::FileSizeLimit limit(4);
    return atomicWriteFile(path, "much longer than four bytes");
  }();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code, EFBIG);
  EXPECT_EQ(ScratchDir::read(path), old);
  ASSERT_TRUE(atomicWriteFile(path, "").ok());
  EXPECT_EQ(ScratchDir::read(path), "");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);
}

TEST(FileOps, RemoveItemRemovesLinksNotTheirTargets) {
  ScratchDir scratch("file_ops");
  const std::string dir = scratch.path();
  fs::create_directories(dir + "/keep");
  std::ofstream(dir + "/keep/file") << "x";
  fs::create_directories(dir + "/tree/a/b");
  std::ofstream(dir + "/tree/a/b/f") << "x";
  fs::create_symlink(dir + "/keep", dir + "/tree/a/linkdir");
  fs::create_symlink(dir + "/keep/file", dir + "/tree/linkfile");
  fs::create_symlink(dir + "/keep", dir + "/toplink");

  ASSERT_TRUE(removeItem(dir + "/tree").ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/tree")));
  ASSERT_TRUE(removeItem(dir + "/toplink").ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/toplink")));
  EXPECT_EQ(ScratchDir::read(dir + "/keep/file"), "x");

  Status missing = removeItem(dir + "/nothing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
}

}  // namespace
}  // namespace tamsel
