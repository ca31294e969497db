#include "store/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "store/testutil/faulty_file_system.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

class PosixFileSystemTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.path() + name; }
  std::string Content(const std::string& name) {
    std::string data;
    EXPECT_EQ(fs_.ReadFile(Path(name), &data), 0);
    return data;
  }

  testutil::TempDir dir_;
  PosixFileSystem fs_;
};

TEST_F(PosixFileSystemTest, WritesReadsAndAppends) {
  std::string data = "stale";
  EXPECT_EQ(fs_.ReadFile(Path("f"), &data), ENOENT);
  EXPECT_EQ(fs_.WriteFile(Path("f"), "0123456789"), 0);
  EXPECT_EQ(Content("f"), "0123456789");

  int64_t offset = -1;
  EXPECT_EQ(fs_.Append(Path("f"), "abc", &offset), 0);
  EXPECT_EQ(offset, 10);
  EXPECT_EQ(fs_.Append(Path("new"), "xyz", &offset), 0);
  EXPECT_EQ(offset, 0);

  char buffer[8] = {};
  size_t done = 99;
  EXPECT_EQ(fs_.ReadAt(Path("f"), 9, 8, buffer, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "9abc");  // short at the end of the file
  EXPECT_EQ(fs_.ReadAt(Path("f"), 100, 8, buffer, &done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(fs_.ReadAt(Path("missing"), 0, 8, buffer, &done), ENOENT);

  EXPECT_EQ(fs_.OverwriteFile(Path("f"), "XY"), 0);  // shorter: the rest is cut off
  EXPECT_EQ(Content("f"), "XY");
  EXPECT_EQ(fs_.OverwriteFile(Path("created"), "new"), 0);
  EXPECT_EQ(Content("created"), "new");
  EXPECT_EQ(fs_.Truncate(Path("created"), 1), 0);
  EXPECT_EQ(fs_.Sync(Path("created")), 0);
  FileStat stat;
  EXPECT_EQ(fs_.Stat(Path("created"), &stat), 0);
  EXPECT_EQ(stat.size, 1);
  EXPECT_FALSE(stat.is_dir);
  EXPECT_GT(stat.mtime_ns, 0);
  EXPECT_EQ(fs_.Stat(Path("missing"), &stat), ENOENT);

  std::string big(100000, 'q');
  EXPECT_EQ(fs_.WriteFile(Path("big"), big), 0);
  EXPECT_EQ(Content("big"), big);
}

TEST_F(PosixFileSystemTest, RenamesWithAndWithoutReplacing) {
  ASSERT_EQ(fs_.WriteFile(Path("a"), "A"), 0);
  ASSERT_EQ(fs_.WriteFile(Path("b"), "B"), 0);
  EXPECT_EQ(fs_.RenameNoReplace(Path("a"), Path("b")), EEXIST);
  EXPECT_EQ(Content("a"), "A");
  EXPECT_EQ(Content("b"), "B");
  EXPECT_EQ(fs_.RenameNoReplace(Path("a"), Path("c")), 0);
  EXPECT_FALSE(fs_.Exists(Path("a")));
  EXPECT_EQ(fs_.Rename(Path("c"), Path("b")), 0);
  EXPECT_EQ(Content("b"), "A");
  EXPECT_EQ(fs_.Rename(Path("missing"), Path("b")), ENOENT);
  EXPECT_EQ(fs_.Unlink(Path("b")), 0);
  EXPECT_EQ(fs_.Unlink(Path("b")), ENOENT);
}

// The save of a file through a kept scratch file: after the exchange the target holds the new
// version and the scratch the old one.
TEST_F(PosixFileSystemTest, ExchangeSwapsTwoNames) {
  ASSERT_EQ(fs_.WriteFile(Path("target"), "old version"), 0);
  ASSERT_EQ(fs_.OverwriteFile(Path(".scratch"), "new"), 0);
  int rc = fs_.Exchange(Path(".scratch"), Path("target"));
  if (rc == EINVAL || rc == ENOSYS) GTEST_SKIP() << "no RENAME_EXCHANGE on this file system";
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(Content("target"), "new");
  EXPECT_EQ(Content(".scratch"), "old version");
  EXPECT_EQ(fs_.Exchange(Path("target"), Path("missing")), ENOENT);
}

TEST_F(PosixFileSystemTest, DirectoriesAndListing) {
  EXPECT_EQ(fs_.MakeDir(Path("d")), 0);
  EXPECT_EQ(fs_.MakeDir(Path("d")), 0);  // existing is fine
  ASSERT_EQ(fs_.WriteFile(Path("file"), "x"), 0);
  EXPECT_EQ(fs_.MakeDir(Path("file")), EEXIST);
  EXPECT_EQ(fs_.MakeDir(Path("no/such/parent")), ENOENT);

  std::vector<DirEntry> entries;
  ASSERT_EQ(fs_.ListDir(dir_.path(), &entries), 0);
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& x, const DirEntry& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "d");
  EXPECT_EQ(entries[0].type, DirEntry::Type::kDirectory);
  EXPECT_EQ(entries[1].name, "file");
  EXPECT_EQ(entries[1].type, DirEntry::Type::kFile);
  EXPECT_EQ(fs_.ListDir(Path("missing"), &entries), ENOENT);
}

class FaultyFileSystemTest : public PosixFileSystemTest {
 protected:
  FaultyFileSystem faulty_{fs_};
};

TEST_F(FaultyFileSystemTest, WritesStopAfterTheGivenBytes) {
  faulty_.FailWritesAfterBytes("*.txt", 5, ENOSPC);
  int64_t offset = -1;
  EXPECT_EQ(faulty_.Append(Path("a.txt"), "abc", &offset), 0);
  EXPECT_EQ(faulty_.Append(Path("a.txt"), "defg", &offset), ENOSPC);
  EXPECT_EQ(Content("a.txt"), "abcde");  // the part that fitted stays
  EXPECT_EQ(faulty_.WriteFile(Path("a.txt"), "x"), ENOSPC);
  EXPECT_EQ(faulty_.WriteFile(Path("a.xml"), "other files are fine"), 0);
  faulty_.Clear();
  EXPECT_EQ(faulty_.Append(Path("a.txt"), "h", &offset), 0);
  EXPECT_EQ(offset, 5);
}

TEST_F(FaultyFileSystemTest, CallRulesCountMatchingCalls) {
  faulty_.FailCalls(FaultyFileSystem::Op::kWrite, "*/x*", EIO, /*skip=*/1, /*times=*/2);
  EXPECT_EQ(faulty_.WriteFile(Path("x1"), "1"), 0);
  EXPECT_EQ(faulty_.WriteFile(Path("y"), "not counted"), 0);
  EXPECT_EQ(faulty_.WriteFile(Path("x2"), "2"), EIO);
  EXPECT_EQ(faulty_.OverwriteFile(Path("x3"), "3"), EIO);
  EXPECT_EQ(faulty_.WriteFile(Path("x4"), "4"), 0);
  EXPECT_FALSE(fs_.Exists(Path("x2")));
  EXPECT_EQ(faulty_.CallCount(FaultyFileSystem::Op::kWrite), 5);

  faulty_.FailCalls(FaultyFileSystem::Op::kExchange, "*", EINVAL);
  faulty_.FailCalls(FaultyFileSystem::Op::kRename, "*/x4", EIO);
  EXPECT_EQ(faulty_.Exchange(Path("x1"), Path("x4")), EINVAL);
  EXPECT_EQ(faulty_.Rename(Path("x1"), Path("x4")), EIO);  // the target matches
  EXPECT_EQ(faulty_.Rename(Path("x1"), Path("y")), 0);
  EXPECT_EQ(Content("x4"), "4");
}

TEST_F(FaultyFileSystemTest, ShortReads) {
  ASSERT_EQ(fs_.WriteFile(Path("f"), "0123456789"), 0);
  faulty_.ShortReads("*/f", 4);
  std::string data;
  EXPECT_EQ(faulty_.ReadFile(Path("f"), &data), 0);
  EXPECT_EQ(data, "0123");
  char buffer[10];
  size_t done = 0;
  EXPECT_EQ(faulty_.ReadAt(Path("f"), 2, 8, buffer, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "2345");
}

}  // namespace
}  // namespace pigeonbox
