#include "store/file_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "store/kept_files.h"
#include "testutil/store/faulty_file_system.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

class FileSystemTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.path() + name; }
  std::string Content(const std::string& name) { return dir_.Read(name); }

  testutil::TempDir dir_;
  PosixFileSystem fs_;
  FaultyFileSystem faulty_{fs_};
};

TEST_F(FileSystemTest, WritesReadsAndAppends) {
  std::string data;
  EXPECT_EQ(fs_.ReadFile(Path("f"), &data), ENOENT);
  ASSERT_EQ(fs_.WriteFile(Path("f"), "0123456789"), 0);
  int64_t offset = -1;
  EXPECT_EQ(fs_.Append(Path("f"), "abc", &offset), 0);
  EXPECT_EQ(offset, 10);
  EXPECT_EQ(fs_.ReadFile(Path("f"), &data), 0);
  EXPECT_EQ(data, "0123456789abc");

  char buffer[8];
  size_t done = 99;
  EXPECT_EQ(fs_.ReadAt(Path("f"), 9, 8, buffer, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "9abc");  // short at the end of the file
  EXPECT_EQ(fs_.ReadAt(Path("missing"), 0, 8, buffer, &done), ENOENT);

  EXPECT_EQ(fs_.OverwriteFile(Path("f"), "XY"), 0);  // the rest is cut off
  EXPECT_EQ(Content("f"), "XY");
  EXPECT_EQ(fs_.Truncate(Path("f"), 1), 0);
  FileStat stat;
  EXPECT_EQ(fs_.Stat(Path("f"), &stat), 0);
  EXPECT_EQ(stat.size, 1);
  EXPECT_FALSE(stat.is_dir);
  EXPECT_EQ(fs_.Stat(Path("missing"), &stat), ENOENT);
}

TEST_F(FileSystemTest, RenamesAndExchanges) {
  ASSERT_EQ(fs_.WriteFile(Path("a"), "A"), 0);
  ASSERT_EQ(fs_.WriteFile(Path("b"), "B"), 0);
  EXPECT_EQ(fs_.RenameNoReplace(Path("a"), Path("b")), EEXIST);
  EXPECT_EQ(Content("b"), "B");
  EXPECT_EQ(fs_.RenameNoReplace(Path("a"), Path("c")), 0);
  EXPECT_EQ(fs_.Rename(Path("c"), Path("b")), 0);
  EXPECT_EQ(Content("b"), "A");
  EXPECT_FALSE(fs_.Exists(Path("a")));

  // The save through a kept scratch file: afterwards the scratch holds the old version.
  ASSERT_EQ(fs_.OverwriteFile(Path(".scratch"), "new"), 0);
  int rc = fs_.Exchange(Path(".scratch"), Path("b"));
  if (rc == EINVAL || rc == ENOSYS) GTEST_SKIP() << "no RENAME_EXCHANGE on this file system";
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(Content("b"), "new");
  EXPECT_EQ(Content(".scratch"), "A");
  EXPECT_EQ(fs_.Unlink(Path(".scratch")), 0);
  EXPECT_EQ(fs_.Unlink(Path(".scratch")), ENOENT);
}

// Descriptors kept open read and write whatever their names hold now, through every change of
// names the file system makes, and go when the directory is no longer kept.
TEST_F(FileSystemTest, KeptFilesFollowEveryChangeOfNames) {
  auto read = [&](const std::string& name) {
    char data[16];
    size_t done = 0;
    int rc = fs_.ReadAt(Path(name), 0, sizeof data, data, &done);
    return rc == 0 ? std::string(data, done) : "errno " + std::to_string(rc);
  };
  fs_.KeepFilesOpen(dir_.path());
  ASSERT_EQ(fs_.OverwriteFile(Path("a"), "A1"), 0);
  ASSERT_EQ(fs_.OverwriteFile(Path(".a.swap"), "A0"), 0);
  EXPECT_EQ(read("a"), "A1");
  int rc = fs_.Exchange(Path(".a.swap"), Path("a"));
  if (rc == EINVAL || rc == ENOSYS) GTEST_SKIP() << "no RENAME_EXCHANGE on this file system";
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(read("a"), "A0");
  EXPECT_EQ(read(".a.swap"), "A1");
  ASSERT_EQ(fs_.OverwriteFile(Path(".a.swap"), "A2"), 0);
  EXPECT_EQ(Content(".a.swap"), "A2");
  EXPECT_EQ(Content("a"), "A0");

  ASSERT_EQ(fs_.WriteFile(Path("b"), "B"), 0);
  EXPECT_EQ(read("b"), "B");
  ASSERT_EQ(fs_.Rename(Path("a"), Path("b")), 0);
  EXPECT_EQ(read("b"), "A0");
  EXPECT_EQ(read("a"), "errno 2");
  ASSERT_EQ(fs_.Unlink(Path("b")), 0);
  EXPECT_EQ(read("b"), "errno 2");
  int64_t offset = -1;
  ASSERT_EQ(fs_.Append(Path("b"), "new", &offset), 0);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(fs_.Append(Path("b"), "er", &offset), 0);
  EXPECT_EQ(offset, 3);
  EXPECT_EQ(Content("b"), "newer");

  ASSERT_EQ(fs_.MakeDir(Path("d")), 0);
  ASSERT_EQ(fs_.WriteFile(Path("d/f"), "F"), 0);
  EXPECT_EQ(read("d/f"), "F");
  ASSERT_EQ(fs_.Rename(Path("d"), Path("e")), 0);
  EXPECT_EQ(read("d/f"), "errno 2");
  EXPECT_EQ(read("e/f"), "F");
  EXPECT_GT(KeptFiles::Process().KeptCount(), 0u);
  fs_.CloseKeptFiles(dir_.path());
  EXPECT_EQ(KeptFiles::Process().KeptCount(), 0u);
}

// Saves and appends through kept descriptors go by the size the last write left, so a file
// written or cut by name must not be written by a size it no longer has.
TEST_F(FileSystemTest, KeptFilesChangedByNameAreWrittenAtTheirTrueSize) {
  fs_.KeepFilesOpen(dir_.path());
  ASSERT_EQ(fs_.OverwriteFile(Path("s"), "0123456789"), 0);
  ASSERT_EQ(fs_.WriteFile(Path("s"), "longer than before"), 0);
  ASSERT_EQ(fs_.OverwriteFile(Path("s"), "a dozen char"), 0);
  EXPECT_EQ(Content("s"), "a dozen char");  // nothing of the longer version behind it

  int64_t offset = -1;
  ASSERT_EQ(fs_.Append(Path("t"), "0123456789", &offset), 0);
  ASSERT_EQ(fs_.Truncate(Path("t"), 4), 0);
  ASSERT_EQ(fs_.Append(Path("t"), "xy", &offset), 0);
  EXPECT_EQ(offset, 4);
  EXPECT_EQ(Content("t"), std::string("0123xy"));
  fs_.CloseKeptFiles(dir_.path());
}

TEST_F(FileSystemTest, DirectoriesAndListing) {
  EXPECT_EQ(fs_.MakeDir(Path("d")), 0);
  EXPECT_EQ(fs_.MakeDir(Path("d")), 0);  // existing is fine
  ASSERT_EQ(fs_.WriteFile(Path("file"), "x"), 0);
  EXPECT_EQ(fs_.MakeDir(Path("file")), EEXIST);
  std::vector<DirEntry> entries;
  ASSERT_EQ(fs_.ListDir(dir_.path(), &entries), 0);
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& x, const DirEntry& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "d");
  EXPECT_EQ(entries[0].type, DirEntry::Type::kDirectory);
  EXPECT_EQ(entries[1].type, DirEntry::Type::kFile);
}

TEST_F(FileSystemTest, HeldOpenFileKeepsItsVersionAndLinksAreNotFollowed) {
  ASSERT_EQ(fs_.WriteFile(Path("f"), "0123456789"), 0);
  ASSERT_EQ(::symlink(Path("f").c_str(), Path("link").c_str()), 0);
  FileStat st;
  ASSERT_EQ(fs_.Stat(Path("link"), &st), 0);
  EXPECT_TRUE(st.is_file);
  ASSERT_EQ(fs_.StatNoFollow(Path("link"), &st), 0);
  EXPECT_FALSE(st.is_file || st.is_dir);
  int fd = -1;
  EXPECT_EQ(fs_.OpenForRead(Path("link"), &fd), ELOOP);

  ASSERT_EQ(fs_.OpenForRead(Path("f"), &fd), 0);
  ASSERT_EQ(fs_.Rename(Path("link"), Path("f")), 0);  // the name now holds something else
  ASSERT_EQ(fs_.StatOpen(fd, &st), 0);
  EXPECT_EQ(st.size, 10);
  char buffer[8];
  size_t done = 0;
  EXPECT_EQ(fs_.ReadOpenAt(fd, 6, 8, buffer, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "6789");
  EXPECT_EQ(fs_.Close(fd), 0);
}

TEST_F(FileSystemTest, FaultsHitOnlyMatchingCalls) {
  faulty_.FailWritesAfterBytes("*.txt", 5, ENOSPC);
  int64_t offset = -1;
  EXPECT_EQ(faulty_.Append(Path("a.txt"), "abc", &offset), 0);
  EXPECT_EQ(faulty_.Append(Path("a.txt"), "defg", &offset), ENOSPC);
  EXPECT_EQ(Content("a.txt"), "abcde");  // the part that fitted stays
  EXPECT_EQ(faulty_.WriteFile(Path("a.xml"), "other files are fine"), 0);

  faulty_.Clear();
  faulty_.FailCalls(FaultyFileSystem::Op::kWrite, "*/x*", EIO, /*skip=*/1, /*times=*/1);
  faulty_.FailCalls(FaultyFileSystem::Op::kRename, "*/a.xml", EXDEV);
  EXPECT_EQ(faulty_.WriteFile(Path("x1"), "1"), 0);
  EXPECT_EQ(faulty_.WriteFile(Path("x2"), "2"), EIO);
  EXPECT_EQ(faulty_.WriteFile(Path("x3"), "3"), 0);
  EXPECT_FALSE(fs_.Exists(Path("x2")));
  EXPECT_EQ(faulty_.Rename(Path("x1"), Path("a.xml")), EXDEV);  // the target matches
  EXPECT_EQ(faulty_.CallCount(FaultyFileSystem::Op::kWrite), 6);

  faulty_.ShortReads("*/a.txt", 2);
  std::string data;
  EXPECT_EQ(faulty_.ReadFile(Path("a.txt"), &data), 0);
  EXPECT_EQ(data, "ab");
  char buffer[4];
  size_t done = 0;
  EXPECT_EQ(faulty_.ReadAt(Path("a.txt"), 1, 4, buffer, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "bc");

  // Calls on a held descriptor match the path it was opened with.
  int fd = -1;
  ASSERT_EQ(faulty_.OpenForRead(Path("a.txt"), &fd), 0);
  EXPECT_EQ(faulty_.ReadOpenAt(fd, 1, 4, buffer, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "bc");  // the short reads hold too
  faulty_.FailCalls(FaultyFileSystem::Op::kRead, "*/a.txt", EIO);
  EXPECT_EQ(faulty_.ReadOpenAt(fd, 0, 4, buffer, &done), EIO);
  faulty_.FailCalls(FaultyFileSystem::Op::kClose, "*/a.txt", EIO);
  EXPECT_EQ(faulty_.Close(fd), EIO);
  FileStat st;
  EXPECT_EQ(fs_.StatOpen(fd, &st), EBADF);  // released all the same
}

}  // namespace
}  // namespace pigeonbox
