#include "store/text_file_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <random>

#include "store/testutil/faulty_file_system.h"
#include "suite/xow_zip.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Utf16LeWithZero(const std::u16string& text) {
  Bytes bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

Bytes Decompressed(const Bytes& block) {
  Bytes out(13312);
  uint32_t len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(xowzip::UnCompress(out.data(), &len, block.data(), static_cast<uint32_t>(block.size())),
            0);
  out.resize(len);
  return out;
}

// Random CJK characters: too little redundancy to fit 3000 of them into 3071 bytes.
std::u16string Incompressible(size_t units) {
  std::mt19937 rng(7);
  std::u16string text;
  for (size_t i = 0; i < units; ++i) text += static_cast<char16_t>(0x4E00 + rng() % 0x5000);
  return text;
}

class TextFileStoreTest : public ::testing::Test {
 protected:
  TextFileStoreTest() { log_.Open(dir_.path() + "Logs", "Pigeonbox.log"); }

  std::string LogText() const { return dir_.Read("Logs/Pigeonbox.log"); }
  Bytes FileBytes(const std::string& path) const {
    std::string data;
    EXPECT_EQ(posix_.ReadFile(path, &data), 0);
    return Bytes(data.begin(), data.end());
  }

  testutil::TempDir dir_;
  mutable PosixFileSystem posix_;
  FaultyFileSystem fs_{posix_};
  LogFile log_;
  StorePaths paths_{dir_.path(), fs_};
  OffMsgFileStore person_{paths_, fs_, log_};
  DisGroupFileStore group_{paths_, fs_, log_};
};

TEST_F(TextFileStoreTest, AppendsBlocksBackToBack) {
  const std::u16string first = u"<KVTCData><Item Key=\"Title\">你好 Alice</Item></KVTCData>";
  OffMsgTextPos a, b;
  ASSERT_EQ(person_.AddOffMsgTxt(u"Alice", first, &a), 0);
  ASSERT_EQ(person_.AddOffMsgTxt(u"ALICE", u"", &b), 0);  // same owner file
  EXPECT_EQ(a.Addr, 0);
  EXPECT_EQ(b.Addr, a.Len);

  // The file is the two blocks and nothing else; each block is exactly Compress's output.
  Bytes file = FileBytes(*paths_.PersonTextPath(u"alice"));
  ASSERT_EQ(file.size(), static_cast<size_t>(a.Len + b.Len));
  Bytes input = Utf16LeWithZero(first);
  Bytes expected(3071);
  uint32_t len = 3071;
  ASSERT_EQ(xowzip::Compress(expected.data(), &len, input.data(), input.size()), 0);
  expected.resize(len);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + a.Len), expected);

  Bytes block;
  ASSERT_EQ(person_.ReadOffMsgTxt(u"alice", a.Addr, a.Len, &block), 0);
  EXPECT_EQ(block, expected);
  EXPECT_EQ(Decompressed(block), input);
  ASSERT_EQ(person_.ReadOffMsgTxt(u"Alice", b.Addr, b.Len, &block), 0);
  EXPECT_EQ(Decompressed(block), Bytes({0, 0}));  // an empty text is one zero unit
}

TEST_F(TextFileStoreTest, GroupFilesKeepTheOwnerNameAsGiven) {
  OffMsgTextPos upper, lower;
  ASSERT_EQ(group_.AddOffMsgTxt(u"Team", u"one", &upper), 0);
  ASSERT_EQ(group_.AddOffMsgTxt(u"team", u"two", &lower), 0);
  EXPECT_EQ(upper.Addr, 0);
  EXPECT_EQ(lower.Addr, 0);
  EXPECT_TRUE(std::filesystem::exists(paths_.group_text_dir() + "Team.txt"));
  EXPECT_TRUE(std::filesystem::exists(paths_.group_text_dir() + "team.txt"));
  EXPECT_FALSE(std::filesystem::exists(*paths_.PersonTextPath(u"team")));
}

TEST_F(TextFileStoreTest, TextTooLargeForOneBlockIsRefused) {
  OffMsgTextPos pos{11, 22};
  ASSERT_EQ(person_.AddOffMsgTxt(u"bob", u"small", &pos), 0);
  const std::string path = *paths_.PersonTextPath(u"bob");
  Bytes before = FileBytes(path);

  const std::u16string big = Incompressible(3000);
  EXPECT_EQ(person_.AddOffMsgTxt(u"bob", big, &pos), -2);
  EXPECT_EQ(FileBytes(path), before);
  EXPECT_NE(LogText().find("AddOffMsgTxt Compress faild,Owner=bob\r\n"), std::string::npos);

  EXPECT_EQ(group_.AddOffMsgTxt(u"Crowd", big, &pos), -2);  // the group store does not log it
  EXPECT_EQ(LogText().find("Owner=Crowd"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(paths_.group_text_dir() + "Crowd.txt"));
}

TEST_F(TextFileStoreTest, ReadsOutsideTheFileAndDamagedLengths) {
  Bytes block{1, 2, 3};
  EXPECT_EQ(person_.ReadOffMsgTxt(u"nobody", 0, 10, &block), -1);
  EXPECT_EQ(block, Bytes({1, 2, 3}));

  OffMsgTextPos pos;
  ASSERT_EQ(person_.AddOffMsgTxt(u"carol", u"hello", &pos), 0);
  ASSERT_EQ(person_.ReadOffMsgTxt(u"carol", pos.Len + 100, 16, &block), 0);
  EXPECT_EQ(block, Bytes(16, 0));  // beyond the end: zeros, which then fail to decompress
  ASSERT_EQ(person_.ReadOffMsgTxt(u"carol", pos.Len - 2, 6, &block), 0);
  EXPECT_EQ(block[2], 0);  // the part past the end stays zero
  ASSERT_EQ(person_.ReadOffMsgTxt(u"carol", -5, 4, &block), 0);
  EXPECT_EQ(block, Bytes(4, 0));
  ASSERT_EQ(person_.ReadOffMsgTxt(u"carol", 0, 0, &block), 0);
  EXPECT_TRUE(block.empty());
  EXPECT_EQ(person_.ReadOffMsgTxt(u"carol", 0, -1, &block), -2);
  EXPECT_EQ(person_.ReadOffMsgTxt(u"carol", 0, 0x7FFFFFFF, &block), -2);

  // A short read from the disk is not detected either: the missing bytes are zeros.
  fs_.ShortReads("*/carol.txt", 3);
  ASSERT_EQ(person_.ReadOffMsgTxt(u"carol", pos.Addr, pos.Len, &block), 0);
  ASSERT_EQ(block.size(), static_cast<size_t>(pos.Len));
  EXPECT_EQ(block[3], 0);
}

TEST_F(TextFileStoreTest, FailedAppendIsReportedAndReferencesNothing) {
  fs_.FailWritesAfterBytes("*/dave.txt", 0, ENOSPC);
  OffMsgTextPos pos{-7, -7};
  EXPECT_EQ(person_.AddOffMsgTxt(u"Dave", u"lost", &pos), -3);
  EXPECT_EQ(pos.Addr, -7);
  EXPECT_EQ(pos.Len, -7);
  EXPECT_EQ(fs_.CallCount(FaultyFileSystem::Op::kWrite), 2);  // tried twice
  EXPECT_NE(LogText().find("AddOffMsgTxt Writefile faild,Owner=Dave,state=28\r\n"),
            std::string::npos);

  // A write that stops in the middle leaves stray bytes; the next block goes after them and
  // still reads back whole.
  fs_.Clear();
  fs_.FailWritesAfterBytes("*/dave.txt", 3, ENOSPC);
  EXPECT_EQ(person_.AddOffMsgTxt(u"Dave", u"cut off", &pos), -3);
  fs_.Clear();
  ASSERT_EQ(person_.AddOffMsgTxt(u"Dave", u"kept", &pos), 0);
  EXPECT_EQ(pos.Addr, 3);
  Bytes block;
  ASSERT_EQ(person_.ReadOffMsgTxt(u"dave", pos.Addr, pos.Len, &block), 0);
  EXPECT_EQ(Decompressed(block), Utf16LeWithZero(u"kept"));
}

TEST_F(TextFileStoreTest, PassingOpenFailureIsRetriedOnce) {
  OffMsgTextPos first;
  ASSERT_EQ(group_.AddOffMsgTxt(u"Ops", u"first", &first), 0);
  fs_.FailCalls(FaultyFileSystem::Op::kWrite, "*/Ops.txt", EMFILE, 0, 1);
  OffMsgTextPos second;
  ASSERT_EQ(group_.AddOffMsgTxt(u"Ops", u"second", &second), 0);
  EXPECT_EQ(second.Addr, first.Len);
  EXPECT_NE(LogText().find("AddOffMsgTxt Writefile faild,Owner=Ops,state=24\r\n"),
            std::string::npos);
}

TEST_F(TextFileStoreTest, OwnerNamesThatWouldLeaveTheStoreAreRefused) {
  OffMsgTextPos pos;
  Bytes block;
  for (TextFileStore* store : std::initializer_list<TextFileStore*>{&person_, &group_}) {
    EXPECT_EQ(store->AddOffMsgTxt(u"../../escaped", u"x", &pos), -1);
    EXPECT_EQ(store->ReadOffMsgTxt(u"../../escaped", 0, 1, &block), -1);
    EXPECT_FALSE(store->DeleteTxtFile(u".."));
  }
  EXPECT_EQ(fs_.CallCount(FaultyFileSystem::Op::kWrite), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "OffMsg/escaped.txt"));
}

TEST_F(TextFileStoreTest, DeletesTheOwnerFile) {
  OffMsgTextPos pos;
  ASSERT_EQ(person_.AddOffMsgTxt(u"Erin", u"bye", &pos), 0);
  EXPECT_TRUE(person_.DeleteTxtFile(u"ERIN"));
  EXPECT_FALSE(person_.DeleteTxtFile(u"erin"));
  ASSERT_EQ(person_.AddOffMsgTxt(u"erin", u"again", &pos), 0);
  EXPECT_EQ(pos.Addr, 0);
}

}  // namespace
}  // namespace pigeonbox
