#include "transfer/file_manager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "store/file_system.h"
#include "store/offmsg_store_mgr.h"
#include "store/store_paths.h"
#include "testutil/temp_dir.h"
#include "transfer/download_file.h"
#include "transfer/request_path.h"

namespace pigeonbox {
namespace {

TEST(RequestPathTest, MapsDirectoriesAndBaseNames) {
  EXPECT_EQ(u"x/disgroup", MapRequestDirectory(u"x_disgroup", u"g.txt"));
  EXPECT_EQ(u"a_disgroup/b/disgroup", MapRequestDirectory(u"a_disgroup/b_disgroup", u"g.txt"));
  EXPECT_EQ(u"a.b", BaseNameOf(u"a.b.txt"));
  EXPECT_EQ(u"alice", BaseNameOf(u"alice"));
  const std::string bucket = std::to_string(NameHash(u"a.b") % 50);
  EXPECT_EQ(u"offmsgfile/" + std::u16string(bucket.begin(), bucket.end()),
            MapRequestDirectory(u"offmsgfile", u"a.b.txt"));
  EXPECT_EQ(MapRequestDirectory(u"d", u"alice"), MapRequestDirectory(u"d", u"alice.xml"));
  EXPECT_EQ(u"offmsgfile/3/bob.txt", SafeRelativePath(u"offmsgfile\\3", u"bob.txt"));
}

TEST(RequestPathTest, RefusesPathsLeavingTheRoot) {
  for (auto [dir, name] : {std::pair<std::u16string, std::u16string>{u"..", u"kvtserver.kss"},
                           {u"offmsgfile/../..", u"x.txt"},
                           {u"/etc", u"passwd"},
                           {u"\\etc", u"passwd"},
                           {u"c:/windows", u"win.ini"},
                           {u"offmsgfile", u"../../kvtserver.kss"},
                           {u"offmsgfile", u"a\\b.txt"},
                           {u"offmsgfile", u".hidden"},
                           {u"offmsgfile", u""},
                           {u"offmsgfile", std::u16string(u"a\0b", 3)},
                           {std::u16string(u"off\0msg", 7), u"a.txt"},
                           {u"offmsgfile/.snapshot", u"a.txt"}}) {
    EXPECT_FALSE(SafeRelativePath(dir, name)) << ToUtf8(dir) << " " << ToUtf8(name);
  }
}

class FileManagerTest : public ::testing::Test {
 protected:
  FileManagerTest() { log_.Open(dir_.path(), "t.log"); }
  testutil::TempDir dir_;
  LogFile log_;
  PosixFileSystem fs_;
  StoreLockStripes stripes_;
  CFileManager manager_{log_, dir_.path(), fs_, stripes_};
};

TEST_F(FileManagerTest, ResolvesIgnoringCaseInsideTheRootOnly) {
  dir_.Write("OffMsg/OffMsgFile/7/Alice.txt", "hello");
  dir_.Write("OffMsg/offmsgfile/7/alice.txt", "exact");
  dir_.Write("kvtserver.kss", "123456789012345");
  EXPECT_EQ(1, manager_.FileExists(u"offmsgfile/7", u"ALICE.TXT"));
  EXPECT_EQ(5u, manager_.FileSize(u"offmsgfile/7", u"alice.txt"));
  EXPECT_EQ(dir_.path() + "OffMsg/offmsgfile/7/alice.txt",
            manager_.Resolve(u"offmsgfile/7", u"alice.txt"));  // the exact spelling wins
  EXPECT_EQ(0, manager_.FileExists(u"offmsgfile/7", u"bob.txt"));
  EXPECT_EQ(0, manager_.FileExists(u"offmsgfile", u"7"));  // a directory is not a file
  EXPECT_EQ(0, manager_.FileExists(u"..", u"kvtserver.kss"));
  EXPECT_EQ(0u, manager_.FileSize(u"..", u"kvtserver.kss"));
  EXPECT_EQ(u"", manager_.FileTimeTag(u"..", u"kvtserver.kss"));
  EXPECT_NE(std::string::npos, dir_.Read("t.log").find("FileName=kvtserver.kss"));
  // Links lead nowhere, whether named exactly or found by listing the directory.
  for (const char* link : {"OffMsg/offmsgfile/7/key.txt", "OffMsg/offmsgfile/7/Key2.txt"}) {
    std::filesystem::create_symlink(dir_.path() + "kvtserver.kss", dir_.path() + link);
  }
  std::filesystem::create_symlink(dir_.path(), dir_.path() + "OffMsg/Outside");
  EXPECT_EQ(0, manager_.FileExists(u"offmsgfile/7", u"key.txt"));
  EXPECT_EQ(0, manager_.FileExists(u"offmsgfile/7", u"key2.txt"));
  EXPECT_EQ(0, manager_.FileExists(u"outside", u"kvtserver.kss"));
}

TEST_F(FileManagerTest, TimeTagIsTheFileTimeInTwoSignedHalves) {
  EXPECT_EQ(116444736000000000ull, FileTimeOf(0, 0));
  EXPECT_EQ(116444736000000000ull + 10000000 + 5, FileTimeOf(1, 599));
  EXPECT_EQ(u"1-2147483648", TimeTagOf((1ull << 32) | 0x80000000u));
  EXPECT_EQ(u"2712", TimeTagOf((27ull << 32) | 12));
  dir_.Write("OffMsg/d/f.txt", "x");
  EXPECT_FALSE(manager_.FileTimeTag(u"d", u"f.txt").empty());
}

TEST_F(FileManagerTest, ReadsBlocksOf3072Bytes) {
  std::string content(6144, 'x');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  dir_.Write("OffMsg/d/five.txt", content.substr(0, 5000));
  dir_.Write("OffMsg/d/six.txt", content);
  uint8_t buffer[kBlockBytes];
  int len = kBlockBytes;

  DownloadFile five(manager_, log_);
  ASSERT_EQ(0, five.Init(u"d", u"five.txt", 0));
  EXPECT_EQ(5000u, five.length());
  EXPECT_EQ(0, five.ReadBlock(0, buffer, &len));
  EXPECT_EQ(content.substr(0, 3072), std::string(reinterpret_cast<char*>(buffer), len));
  len = kBlockBytes;
  EXPECT_EQ(0, five.ReadBlock(1, buffer, &len));
  EXPECT_EQ(content.substr(3072, 1928), std::string(reinterpret_cast<char*>(buffer), len));

  DownloadFile six(manager_, log_);
  ASSERT_EQ(0, six.Init(u"d", u"six.txt", 0));
  len = kBlockBytes;
  EXPECT_EQ(0, six.ReadBlock(2, buffer, &len));
  EXPECT_EQ(0, len);
  len = kBlockBytes;
  EXPECT_EQ(kPastTheEnd, six.ReadBlock(3, buffer, &len));
  EXPECT_EQ(0, len);
  len = kBlockBytes;
  EXPECT_EQ(kPastTheEnd, six.ReadBlock(0xffffffffu, buffer, &len));
}

// Everything a download returns, block by block, until a short block.
std::string ReadAll(DownloadFile& file) {
  std::string all;
  uint8_t buffer[kBlockBytes];
  for (uint32_t block = 0;; ++block) {
    int len = kBlockBytes;
    if (file.ReadBlock(block, buffer, &len) != 0) return all + "(read failed)";
    all.append(reinterpret_cast<char*>(buffer), len);
    if (len < kBlockBytes) return all;
  }
}

TEST_F(FileManagerTest, ADownloadReadsTheVersionChosenWhateverHappensLater) {
  const std::string text = dir_.Write("OffMsg/d/grows.txt", std::string(4000, 't'));
  const std::string gone = dir_.Write("OffMsg/d/gone.txt", "data");
  DownloadFile grows(manager_, log_);
  DownloadFile removed(manager_, log_);
  grows.Init(u"d", u"grows.txt", 0);
  removed.Init(u"d", u"gone.txt", 0);
  FILE* f = std::fopen(text.c_str(), "a");
  std::fputs("appended", f);
  std::fclose(f);
  std::remove(gone.c_str());
  EXPECT_EQ(std::string(4000, 't'), ReadAll(grows));
  EXPECT_EQ("data", ReadAll(removed));
}

// An index saved twice while it is downloaded (the second save overwrites the inode the first
// one retired) still arrives as the version that was chosen.
TEST_F(FileManagerTest, AnIndexSavedDuringADownloadArrivesAsOneVersion) {
  OffMsgStoreMgr store(dir_.path(), StoreSettings{}, fs_, log_);
  ASSERT_EQ(1, store.InitStores());
  IndexRecord record;
  record.Type = u"Quorvel.KVT.IM";
  record.Sender = u"bob";
  record.Reciever = u"alice";
  auto add = [&](int i) {
    record.MsgID = u"m" + FromUtf8(std::to_string(i));
    record.Title = std::u16string(40, u'a' + i % 26);
    ASSERT_EQ(0, store.AddOffMsg(u"alice", u"text", record));
  };
  for (int i = 0; i < 60; ++i) add(i);
  const std::string path = *store.paths()->PersonIndexPath(u"alice");
  const std::string chosen = dir_.Read(path.substr(dir_.path().size()));
  ASSERT_GT(chosen.size(), 3u * kBlockBytes);

  const std::string bucket = std::to_string(BucketOf(u"alice"));
  DownloadFile file(manager_, log_);
  file.Init(u"offmsgindex/" + FromUtf8(bucket), u"alice.xml", 0);
  std::string got;
  uint8_t buffer[kBlockBytes];
  for (uint32_t block = 0; block * kBlockBytes <= chosen.size(); ++block) {
    int len = kBlockBytes;
    ASSERT_EQ(0, file.ReadBlock(block, buffer, &len));
    got.append(reinterpret_cast<char*>(buffer), len);
    add(100 + 2 * block);  // two saves between blocks
    add(101 + 2 * block);
  }
  EXPECT_EQ(chosen.size(), file.length());
  EXPECT_TRUE(got == chosen) << "the download mixed versions of the index";
}

}  // namespace
}  // namespace pigeonbox
