#include "store/text_file_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <random>

#include "suite/xow_zip.h"
#include "testutil/store/faulty_file_system.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Utf16LeWithZero(const std::u16string& text) {
  Bytes bytes;
  for (char16_t c : text) bytes.insert(bytes.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

Bytes Decompressed(const Bytes& block) {
  Bytes out(13312);
  uint32_t len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(xowzip::UnCompress(out.data(), &len, block.data(), uint32_t(block.size())), 0);
  out.resize(len);
  return out;
}

class TextFileStoreTest : public ::testing::Test {
 protected:
  TextFileStoreTest() { log_.Open(dir_.path() + "Logs", "Pigeonbox.log"); }

  bool Logged(const std::string& line) const {
    return dir_.Read("Logs/Pigeonbox.log").find(line + "\r\n") != std::string::npos;
  }
  Bytes Read(TextFileStore& store, std::u16string_view owner, OffMsgTextPos pos) {
    Bytes block;
    EXPECT_TRUE(store.ReadOffMsgTxt(owner, pos.Addr, pos.Len, &block).ok());
    return block;
  }

  testutil::TempDir dir_;
  PosixFileSystem posix_;
  FaultyFileSystem fs_{posix_};
  LogFile log_;
  StorePaths paths_{dir_.path(), fs_};
  OffMsgFileStore person_{paths_, fs_, log_};
  DisGroupFileStore group_{paths_, fs_, log_};
};

TEST_F(TextFileStoreTest, AppendsBlocksBackToBack) {
  const std::u16string text = u"<KVTCData><Item Key=\"Title\">你好 Alice</Item></KVTCData>";
  OffMsgTextPos a, b;
  ASSERT_TRUE(person_.AddOffMsgTxt(u"Alice", text, &a).ok());
  ASSERT_TRUE(person_.AddOffMsgTxt(u"ALICE", u"", &b).ok());  // the same owner file
  EXPECT_EQ(a.Addr, 0);
  EXPECT_EQ(b.Addr, a.Len);
  EXPECT_EQ(std::filesystem::file_size(*paths_.PersonTextPath(u"alice")), size_t(a.Len + b.Len));
  EXPECT_EQ(Decompressed(Read(person_, u"alice", a)), Utf16LeWithZero(text));
  EXPECT_EQ(Decompressed(Read(person_, u"alice", b)), Bytes({0, 0}));  // one zero unit

  // Group files keep the name as given: Team and team are two files, each starting at 0.
  ASSERT_TRUE(group_.AddOffMsgTxt(u"Team", u"one", &a).ok());
  ASSERT_TRUE(group_.AddOffMsgTxt(u"team", u"two", &b).ok());
  EXPECT_EQ(b.Addr, 0);
  EXPECT_EQ(Decompressed(Read(group_, u"Team", a)), Utf16LeWithZero(u"one"));
  EXPECT_TRUE(group_.DeleteTxtFile(u"Team").ok());
  EXPECT_TRUE(group_.DeleteTxtFile(u"Team").IsAbsent());
  EXPECT_TRUE(std::filesystem::exists(paths_.group_text_dir() + "team.txt"));
}

TEST_F(TextFileStoreTest, TextTooLargeForOneBlockIsRefused) {
  std::mt19937 rng(7);
  std::u16string big;  // random CJK text: far more than 3071 bytes compressed
  for (int i = 0; i < 3000; ++i) big += static_cast<char16_t>(0x4E00 + rng() % 0x5000);
  OffMsgTextPos pos{11, 22};
  EXPECT_TRUE(person_.AddOffMsgTxt(u"Bob", big, &pos).IsTooLarge());
  EXPECT_TRUE(Logged("AddOffMsgTxt Compress faild,Owner=Bob"));
  EXPECT_TRUE(
      group_.AddOffMsgTxt(u"Crowd", big, &pos).IsTooLarge());  // not logged by the group store
  EXPECT_FALSE(Logged("AddOffMsgTxt Compress faild,Owner=Crowd"));
  EXPECT_EQ(pos.Addr, 11);
  EXPECT_EQ(fs_.CallCount(FaultyFileSystem::Op::kWrite), 0);
}

TEST_F(TextFileStoreTest, ReadsOutsideTheFileAndDamagedLengths) {
  Bytes block;
  EXPECT_TRUE(person_.ReadOffMsgTxt(u"nobody", 0, 10, &block).IsAbsent());
  OffMsgTextPos pos;
  ASSERT_TRUE(person_.AddOffMsgTxt(u"carol", u"hello", &pos).ok());
  EXPECT_EQ(Read(person_, u"carol", {pos.Len + 100, 16}), Bytes(16, 0));  // past the end
  EXPECT_EQ(Read(person_, u"carol", {-5, 4}), Bytes(4, 0));
  EXPECT_EQ(Read(person_, u"carol", {pos.Len - 2, 6})[2], 0);  // zeros after the end
  EXPECT_TRUE(person_.ReadOffMsgTxt(u"carol", 0, -1, &block).IsCorrupt());
  EXPECT_TRUE(person_.ReadOffMsgTxt(u"carol", 0, 0x7FFFFFFF, &block).IsCorrupt());
  fs_.ShortReads("*/carol.txt", 3);  // a short read is not detected either
  EXPECT_EQ(Read(person_, u"carol", pos)[3], 0);
}

TEST_F(TextFileStoreTest, FailedAppendReferencesNothing) {
  fs_.FailWritesAfterBytes("*/dave.txt", 0, ENOSPC);
  OffMsgTextPos pos{-7, -7};
  EXPECT_EQ(person_.AddOffMsgTxt(u"Dave", u"lost", &pos).error(), ENOSPC);
  EXPECT_EQ(pos.Addr, -7);
  EXPECT_EQ(fs_.CallCount(FaultyFileSystem::Op::kWrite), 2);  // tried twice
  EXPECT_TRUE(Logged("AddOffMsgTxt Writefile faild,Owner=Dave,state=28"));

  // A write cut off in the middle leaves stray bytes; the next block goes after them.
  fs_.Clear();
  fs_.FailWritesAfterBytes("*/dave.txt", 3, ENOSPC);
  EXPECT_TRUE(person_.AddOffMsgTxt(u"Dave", u"cut off", &pos).IsWriteFailed());
  fs_.Clear();
  ASSERT_TRUE(person_.AddOffMsgTxt(u"Dave", u"kept", &pos).ok());
  EXPECT_EQ(pos.Addr, 3);
  EXPECT_EQ(Decompressed(Read(person_, u"dave", pos)), Utf16LeWithZero(u"kept"));

  // A passing failure is overcome by the second attempt.
  fs_.FailCalls(FaultyFileSystem::Op::kWrite, "*/dave.txt", EMFILE, 0, 1);
  OffMsgTextPos next;
  ASSERT_TRUE(person_.AddOffMsgTxt(u"Dave", u"again", &next).ok());
  EXPECT_EQ(next.Addr, pos.Addr + pos.Len);
  EXPECT_TRUE(Logged("AddOffMsgTxt Writefile faild,Owner=Dave,state=24"));
}

// Index entries hold 32-bit offsets: a block must end at or before 2^31 - 1. The file layer
// reports the offsets of a file that large without one being written.
TEST_F(TextFileStoreTest, BlocksEndingBeyondTheIndexOffsetsAreRefusedAndCutOff) {
  OffMsgTextPos probe;
  ASSERT_TRUE(person_.AddOffMsgTxt(u"probe", u"text", &probe).ok());
  const int64_t lastFit = int64_t{0x7FFFFFFF} - probe.Len;

  fs_.ShiftAppendOffsets("*/erin.txt", lastFit);
  OffMsgTextPos pos;
  ASSERT_TRUE(person_.AddOffMsgTxt(u"erin", u"text", &pos).ok());
  EXPECT_EQ(pos.Addr, lastFit);  // ends exactly at the last offset an entry can hold
  fs_.Clear();

  fs_.ShiftAppendOffsets("*/erin.txt", lastFit);  // the file now ends one block further
  OffMsgTextPos refused{-7, -7};
  Status status = person_.AddOffMsgTxt(u"erin", u"text", &refused);
  EXPECT_TRUE(status.IsWriteFailed());
  EXPECT_EQ(status.error(), EFBIG);
  EXPECT_EQ(refused.Addr, -7);
  EXPECT_TRUE(Logged("AddOffMsgTxt Writefile faild,Owner=erin,state=27"));
  fs_.Clear();
  // The refused block was cut off again: only the first one is in the file.
  EXPECT_EQ(std::filesystem::file_size(*paths_.PersonTextPath(u"erin")), size_t(probe.Len));
}

TEST_F(TextFileStoreTest, OwnerNamesThatWouldLeaveTheStoreAreRefused) {
  OffMsgTextPos pos;
  Bytes block;
  for (TextFileStore* store : std::initializer_list<TextFileStore*>{&person_, &group_}) {
    EXPECT_TRUE(store->AddOffMsgTxt(u"../../escaped", u"x", &pos).IsRefused());
    EXPECT_TRUE(store->ReadOffMsgTxt(u"../../escaped", 0, 1, &block).IsRefused());
    EXPECT_TRUE(store->DeleteTxtFile(u"..").IsRefused());
  }
  EXPECT_EQ(fs_.CallCount(FaultyFileSystem::Op::kWrite), 0);
}

}  // namespace
}  // namespace pigeonbox
