#include "store/offmsg_store_mgr.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "testutil/store/store_mgr_fixture.h"

namespace pigeonbox {
namespace {

using testutil::Record;
using testutil::StoredText;

class StoreMgrTest : public testutil::StoreMgrFixture {
 protected:
  OffMsgStoreMgr& Manager(StoreSettings settings = {}) {
    mgr_ = std::make_unique<OffMsgStoreMgr>(dir_.path(), settings, faulty_, log_, clock_);
    EXPECT_EQ(mgr_->InitStores(), 1);
    EXPECT_EQ(mgr_->InitStores(), 0);
    return *mgr_;
  }
  bool Exists(const std::optional<std::string>& path) { return path && posix_.Exists(*path); }
  int64_t SizeOf(const std::string& path) {
    FileStat st;
    return posix_.Stat(path, &st) == 0 ? st.size : -1;
  }
};

TEST_F(StoreMgrTest, CountsCombinePersonAndGroupStores) {
  OffMsgStoreMgr& mgr = Manager();
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), IndexStore::kCannotLoad);
  EXPECT_EQ(mgr.GetAllOffMsgSum(u"alice"), IndexStore::kCannotLoad);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(mgr.AddOffMsg(u"Alice", u"p", Record(u"p" + std::u16string(1, u'0' + i), 1)), 0);
  EXPECT_EQ(mgr.GetAllOffMsgSum(u"alice"), 3);  // no group file
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"g", Record(u"g" + std::u16string(1, u'0' + i), 1)),
              0);
  EXPECT_EQ(mgr.GetOffMsgSum(u"ALICE"), 3);
  EXPECT_EQ(mgr.GetAllOffMsgSum(u"alice"), 5);
  EXPECT_EQ(mgr.GetAllOffMsgSum(u"bob"), IndexStore::kCannotLoad);
  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"carol", u"g", Record(u"g", 1)), 0);
  EXPECT_EQ(mgr.GetAllOffMsgSum(u"carol"), 1);  // no person file

  // A group entry with a person entry's MsgID raises its Count in the combined listing.
  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"g", Record(u"P1", 2)), 0);
  std::vector<IndexRecord> list{Record(u"stale", 0)};
  ASSERT_EQ(mgr.GetAllOffMsgIndex(u"alice", &list), 0);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[1].MsgID, u"p1");
  EXPECT_EQ(list[1].Count, 2);
  EXPECT_EQ(list[3].MsgID, u"g0");
}

TEST_F(StoreMgrTest, GroupStorageOffStoresNothing) {
  StoreSettings settings;
  settings.storeDisGroupMaxCount = 0;
  OffMsgStoreMgr& mgr = Manager(settings);
  EXPECT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"g", Record(u"g", 1)), 0);
  EXPECT_FALSE(Exists(mgr.paths()->GroupIndexPath(u"alice")));
  EXPECT_FALSE(Exists(mgr.paths()->GroupTextPath(u"alice")));
}

TEST_F(StoreMgrTest, FetchReturnsTheStoredTextsAndJudgesByTheGroupLookup) {
  OffMsgStoreMgr& mgr = Manager();
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"第一 part", Record(u"m", 10)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"second part", Record(u"M", 11)), 0);
  std::vector<TextRecord> texts;
  EXPECT_EQ(mgr.GetOffMsgTxt(u"alice", u"m", &texts), -1);  // found only among person entries
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(StoredText(texts[0]), u"第一 part");
  EXPECT_EQ(StoredText(texts[1]), u"second part");
  EXPECT_EQ(texts[1].CreateTime, 11);
  EXPECT_EQ(texts[1].Reciever, u";alice");
  EXPECT_EQ(texts[1].DataLength, texts[1].Data.size());

  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"group part", Record(u"m", 12)), 0);
  texts.clear();
  EXPECT_EQ(mgr.GetOffMsgTxtSince(u"alice", u"m", 11, &texts), 0);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(StoredText(texts[1]), u"group part");
}

TEST_F(StoreMgrTest, DeletingTheLastEntryRemovesTheOwnersFiles) {
  OffMsgStoreMgr& mgr = Manager();
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"a", Record(u"a", 1)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"b", Record(u"b", 2)), 0);
  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"g", Record(u"g", 3)), 0);
  EXPECT_EQ(mgr.DelOffMsg(u"alice", u"a"), 0);
  EXPECT_TRUE(Exists(mgr.paths()->PersonTextPath(u"alice")));
  EXPECT_EQ(mgr.DelOffMsg(u"alice", u"B"), 0);
  EXPECT_FALSE(Exists(mgr.paths()->PersonIndexPath(u"alice")));
  EXPECT_FALSE(Exists(mgr.paths()->PersonTextPath(u"alice")));
  // A MsgID held only by the group store is deleted there.
  EXPECT_EQ(mgr.DelOffMsg(u"alice", u"g"), 0);
  EXPECT_FALSE(Exists(mgr.paths()->GroupIndexPath(u"alice")));
  EXPECT_EQ(mgr.DelOffMsg(u"alice", u"g"), -1);
  // The next add starts from a new pair: the first text lies at Addr 0 again.
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"c", Record(u"c", 4)), 0);
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 1);
}

std::vector<StoredPartKey> KeysOf(const std::vector<TextRecord>& texts) {
  std::vector<StoredPartKey> keys;
  for (const TextRecord& t : texts) keys.push_back(t.Key);
  return keys;
}

TEST_F(StoreMgrTest, DeletingGivenPartsLeavesPartsStoredSinceTheyWereRead) {
  OffMsgStoreMgr& mgr = Manager();
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"one", Record(u"m", 10)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"two", Record(u"m", 10)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"other", Record(u"x", 10)), 0);
  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"group", Record(u"m", 10)), 0);
  std::vector<TextRecord> read;
  mgr.GetOffMsgTxt(u"alice", u"m", &read);
  ASSERT_EQ(read.size(), 3u);
  EXPECT_TRUE(read[2].Key.group);
  // Stored after the read: same MsgID, same length, same time, another block.
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"new", Record(u"m", 10)), 0);
  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"later", Record(u"M", 10)), 0);

  int removed = -1;
  EXPECT_TRUE(mgr.DelOffMsgParts(u"alice", u"M", KeysOf(read), &removed).ok());
  EXPECT_EQ(removed, 3);
  std::vector<TextRecord> left;
  mgr.GetOffMsgTxt(u"alice", u"m", &left);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(StoredText(left[0]), u"new");
  EXPECT_EQ(StoredText(left[1]), u"later");
  EXPECT_EQ(mgr.GetAllOffMsgSum(u"alice"), 3);
  // Parts already gone are reported, and nothing else is touched.
  EXPECT_TRUE(mgr.DelOffMsgParts(u"alice", u"m", KeysOf(read), &removed).IsNotFound());
  EXPECT_EQ(removed, 0);

  // The group store's last part takes its files; the person store keeps its own.
  EXPECT_TRUE(mgr.DelOffMsgParts(u"alice", u"m", {left[1].Key}).ok());
  EXPECT_FALSE(Exists(mgr.paths()->GroupIndexPath(u"alice")));
  EXPECT_FALSE(Exists(mgr.paths()->GroupTextPath(u"alice")));
  EXPECT_TRUE(Exists(mgr.paths()->PersonTextPath(u"alice")));
}

TEST_F(StoreMgrTest, DeletingGivenPartsHandlesRepeatsAndKeepsFilesItCouldNotRead) {
  // The index is edited behind the store and then made unreadable: without the cache, which
  // would (rightly) not read it again.
  StoreSettings uncached;
  uncached.indexCacheMB = 0;
  OffMsgStoreMgr& mgr = Manager(uncached);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"one", Record(u"m", 10)), 0);
  std::vector<TextRecord> read;
  mgr.GetOffMsgTxt(u"alice", u"m", &read);
  ASSERT_EQ(read.size(), 1u);
  // An index holding one entry twice (a copied line): each key given removes one of them.
  std::string index;
  ASSERT_EQ(posix_.ReadFile(*mgr.paths()->PersonIndexPath(u"alice"), &index), 0);
  const size_t line = index.find("<OffMsgRec");
  const size_t end = index.find("\r\n", line) + 2;
  index.insert(end, index.substr(line, end - line));
  ASSERT_EQ(posix_.WriteFile(*mgr.paths()->PersonIndexPath(u"alice"), index), 0);
  int removed = 0;
  EXPECT_TRUE(mgr.DelOffMsgParts(u"alice", u"m", {read[0].Key}, &removed).ok());
  EXPECT_EQ(removed, 1);
  EXPECT_TRUE(Exists(mgr.paths()->PersonTextPath(u"alice")));

  // An index that cannot be read this time keeps both files.
  faulty_.FailCalls(FaultyFileSystem::Op::kRead, "*.xml", EMFILE);
  EXPECT_TRUE(mgr.DelOffMsgParts(u"alice", u"m", {read[0].Key, read[0].Key}).IsUnavailable());
  faulty_.Clear();
  EXPECT_TRUE(Exists(mgr.paths()->PersonIndexPath(u"alice")));
  EXPECT_TRUE(Exists(mgr.paths()->PersonTextPath(u"alice")));
  EXPECT_TRUE(
      mgr.DelOffMsgParts(u"alice", u"m", {read[0].Key, read[0].Key}, &removed).IsNotFound());
  EXPECT_EQ(removed, 1);
  EXPECT_FALSE(Exists(mgr.paths()->PersonIndexPath(u"alice")));
  EXPECT_FALSE(Exists(mgr.paths()->PersonTextPath(u"alice")));
}

TEST_F(StoreMgrTest, DeletingGivenPartsAfterAShrinkLeavesPartsTheKeysNoLongerName) {
  OffMsgStoreMgr& mgr = Manager();
  const int32_t now = static_cast<int32_t>(kNow);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"part 0", Record(u"old", now - 1000)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"part 1", Record(u"m", now)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"part 2", Record(u"m", now)), 0);
  std::vector<TextRecord> read;
  mgr.GetOffMsgTxt(u"alice", u"m", &read);
  ASSERT_EQ(read.size(), 2u);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"part 3", Record(u"m", now)), 0);
  // The shrink drops the expired part and every block moves one place towards the start: the
  // entries read before now name "part 2" and "part 3".
  ASSERT_EQ(mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0), 0);
  std::vector<TextRecord> moved;
  mgr.GetOffMsgTxt(u"alice", u"m", &moved);
  ASSERT_EQ(moved.size(), 3u);
  ASSERT_EQ(moved[1].Key.entry, read[0].Key.entry);
  ASSERT_EQ(moved[2].Key.entry, read[1].Key.entry);
  EXPECT_TRUE(mgr.DelOffMsgParts(u"alice", u"m", KeysOf(read)).IsNotFound());
  // Delivered again rather than "part 3" lost.
  std::vector<TextRecord> left;
  mgr.GetOffMsgTxt(u"alice", u"m", &left);
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(StoredText(left[2]), u"part 3");
}

TEST_F(StoreMgrTest, DeleteByTimeReturnsTheGroupCode) {
  OffMsgStoreMgr& mgr = Manager();
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"a", Record(u"a", 100)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"b", Record(u"a", 200)), 0);
  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"g", Record(u"a", 150)), 0);
  EXPECT_EQ(mgr.DelOffMsgByTime(u"alice", u"a", 100, 0xFFFFFFFF, 149, 0), -1);
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 1);
  EXPECT_EQ(mgr.DelOffMsgByTime(u"alice", u"a", 0, 0, 150, 0xFFFFFFFF), 0);
  EXPECT_FALSE(Exists(mgr.paths()->GroupIndexPath(u"alice")));
}

TEST_F(StoreMgrTest, FailedTextAppendIndexesNothing) {
  OffMsgStoreMgr& mgr = Manager();
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"a", Record(u"a", 1)), 0);
  faulty_.FailCalls(FaultyFileSystem::Op::kWrite, "*.txt", ENOSPC);
  EXPECT_NE(mgr.AddOffMsg(u"alice", u"b", Record(u"b", 2)), 0);
  faulty_.Clear();
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 1);
  EXPECT_NE(Log().find("AddOffMsgTxt faild,Owner=alice,Errcode="), std::string::npos);
}

TEST_F(StoreMgrTest, OwnerNamesThatLeaveTheStoreFailEveryOperationWithALogLine) {
  OffMsgStoreMgr& mgr = Manager();
  // Names beginning with "." are the store's own: the shrink's new pair, scratch copies.
  for (std::u16string_view bad : {u"../../etc", u"a\\b", u".alice.~shrink", u".hidden"}) {
    EXPECT_NE(mgr.AddOffMsg(bad, u"x", Record(u"m", 1)), 0);
    EXPECT_NE(mgr.AddDisGroupOffMsg(bad, u"x", Record(u"m", 1)), 0);
    EXPECT_LT(mgr.GetAllOffMsgSum(bad), 0);
    std::vector<TextRecord> texts;
    mgr.GetOffMsgTxt(bad, u"m", &texts);
    EXPECT_TRUE(texts.empty());
    EXPECT_NE(mgr.DelOffMsg(bad, u"m"), 0);
    EXPECT_EQ(mgr.DelUserOffMsgFiles(bad), -1);
    EXPECT_EQ(mgr.ShrinkOffMsgFile(bad, OffMsgStoreMgr::kPersonKind, 1.0), -1);
  }
  EXPECT_NE(Log().find("GetAllOffMsgSum refused owner name,Owner=../../etc"), std::string::npos);
  EXPECT_NE(Log().find("DelUserOffMsgFiles refused owner name"), std::string::npos);
  EXPECT_FALSE(Exists(mgr.paths()->PersonIndexPath(u".alice.~shrink")));
  EXPECT_FALSE(Exists(mgr.paths()->GroupTextPath(u".hidden")));
}

// Only an index that was read and holds no entries, or that is not there, lets an owner's files
// go; one that could not be read this time may hold every message of the owner.
TEST_F(StoreMgrTest, AnIndexThatCannotBeReadKeepsTheOwnersFiles) {
  StoreSettings uncached;  // a cached index is not read again, so it cannot fail to be read
  uncached.indexCacheMB = 0;
  OffMsgStoreMgr& mgr = Manager(uncached);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"a", Record(u"a", 1)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"b", Record(u"b", 2)), 0);
  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"alice", u"g", Record(u"g", 3)), 0);
  for (int error : {EMFILE, ENFILE, EIO, ENOMEM, EINTR, EACCES}) {
    faulty_.FailCalls(FaultyFileSystem::Op::kRead, "*.xml", error);
    EXPECT_EQ(mgr.DelOffMsg(u"alice", u"a"), -1);
    EXPECT_EQ(mgr.DelOffMsgByTime(u"alice", u"a", ~0u, ~0u, ~0u, ~0u), -1);
    faulty_.Clear();
    ASSERT_EQ(mgr.GetAllOffMsgSum(u"alice"), 3) << error;
  }
  std::vector<TextRecord> texts;
  mgr.GetOffMsgTxt(u"alice", u"g", &texts);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(StoredText(texts[0]), u"g");
  EXPECT_NE(Log().find("Owner files kept,Owner=alice,unavailable (Too many open files)"),
            std::string::npos);

  // A DataSum of 0 over entries that are still there does not make the index empty.
  const std::string indexPath = *mgr.paths()->PersonIndexPath(u"alice");
  std::string index;
  ASSERT_EQ(posix_.ReadFile(indexPath, &index), 0);
  index.replace(index.find("DataSum=\"2\""), 11, "DataSum=\"0\"");
  ASSERT_EQ(posix_.WriteFile(indexPath, index), 0);
  EXPECT_EQ(mgr.DelOffMsg(u"alice", u"none such"), -1);
  texts.clear();
  mgr.GetOffMsgTxt(u"alice", u"b", &texts);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(StoredText(texts[0]), u"b");
}

// Deleting an owner's last message removes the text file first: a failing unlink never leaves
// a text file without its index, nor an index whose entries lost their texts.
TEST_F(StoreMgrTest, FailedUnlinkOfTheLastMessageLeavesASoundPair) {
  OffMsgStoreMgr& mgr = Manager();
  const std::string indexPath = *mgr.paths()->PersonIndexPath(u"alice");
  const std::string textPath = *mgr.paths()->PersonTextPath(u"alice");
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"a", Record(u"a", 1)), 0);
  faulty_.FailCalls(FaultyFileSystem::Op::kUnlink, "*.txt", EIO);
  EXPECT_EQ(mgr.DelOffMsg(u"alice", u"a"), 0);
  faulty_.Clear();
  EXPECT_TRUE(posix_.Exists(indexPath));  // both stay; the index holds no entry
  EXPECT_TRUE(posix_.Exists(textPath));
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 0);

  faulty_.FailCalls(FaultyFileSystem::Op::kUnlink, "*.xml", EIO);
  EXPECT_EQ(mgr.DelOffMsg(u"alice", u"a"), -1);  // nothing left to delete: the pair goes
  faulty_.Clear();
  EXPECT_FALSE(posix_.Exists(textPath));
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 0);  // an empty index without texts is harmless
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"next", Record(u"n", 2)), 0);
  std::vector<TextRecord> texts;
  mgr.GetOffMsgTxt(u"alice", u"n", &texts);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(StoredText(texts[0]), u"next");
}

TEST_F(StoreMgrTest, ShrinkKeepsLivePartsFromAddressZero) {
  OffMsgStoreMgr& mgr = Manager();
  const int32_t now = static_cast<int32_t>(kNow);
  // Five parts; two are deleted (dead blocks); one is exactly as old as the maximum age.
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"dead one", Record(u"d1", now - 10)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"live one", Record(u"l1", now - 99)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"expired", Record(u"x", now - 100)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"dead two", Record(u"d2", now - 5)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"live two a", Record(u"l2", now - 3)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"live two b", Record(u"l2", now - 2)), 0);
  ASSERT_EQ(mgr.DelOffMsg(u"alice", u"d1"), 0);
  ASSERT_EQ(mgr.DelOffMsg(u"alice", u"d2"), 0);

  EXPECT_EQ(mgr.ShrinkOffMsgFile(u"Alice", OffMsgStoreMgr::kPersonKind, 100.0), 0);
  std::vector<IndexRecord> list;
  ASSERT_EQ(mgr.GetOffMsgIndex(u"alice", &list), 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].MsgID, u"l1");
  EXPECT_EQ(list[0].CreateTime, now - 99);
  EXPECT_EQ(list[0].Reciever, u";alice");  // the ";" is not doubled
  EXPECT_EQ(list[1].Count, 2);
  std::vector<TextRecord> texts;
  mgr.GetOffMsgTxt(u"alice", u"l2", &texts);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(StoredText(texts[1]), u"live two b");
  // Only the three live blocks remain; the first starts at Addr 0.
  int64_t live = 0;
  for (const char16_t* id : {u"l1", u"l2"}) {
    std::vector<TextRecord> parts;
    mgr.GetOffMsgTxt(u"alice", id, &parts);
    for (const TextRecord& t : parts) live += t.DataLength;
  }
  EXPECT_EQ(SizeOf(*mgr.paths()->PersonTextPath(u"alice")), live);
  // The backups lie under the backup name's own bucket and stay.
  EXPECT_TRUE(Exists(mgr.paths()->PersonIndexPath(u"alice_Backup")));
  EXPECT_TRUE(Exists(mgr.paths()->PersonTextPath(u"alice_backup")));
  EXPECT_NE(Log().find("收缩离线文件：备份用户Alice的离线消息文件"), std::string::npos);
}

TEST_F(StoreMgrTest, ShrinkEdgeCases) {
  OffMsgStoreMgr& mgr = Manager();
  // No index file: the XML rename fails and nothing changes.
  EXPECT_EQ(mgr.ShrinkOffMsgFile(u"nobody", OffMsgStoreMgr::kPersonKind, 100.0), -1);
  EXPECT_NE(Log().find("收缩离线文件：更名XML文件失败"), std::string::npos);

  // Maximum age 0: everything is dropped, no new files, the backups remain.
  ASSERT_EQ(mgr.AddDisGroupOffMsg(u"Team", u"x", Record(u"x", static_cast<int32_t>(kNow))), 0);
  EXPECT_EQ(mgr.ShrinkOffMsgFile(u"Team", OffMsgStoreMgr::kGroupKind, 0.0), 0);
  EXPECT_FALSE(Exists(mgr.paths()->GroupIndexPath(u"Team")));
  EXPECT_TRUE(Exists(mgr.paths()->GroupIndexPath(u"Team_Backup")));
  EXPECT_NE(Log().find("备份用户Team的群离线消息文件"), std::string::npos);

  // The text file cannot be moved: the index file is put back, the owner keeps its pair.
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"a", Record(u"a", static_cast<int32_t>(kNow))), 0);
  faulty_.FailCalls(FaultyFileSystem::Op::kRename, "*.txt", EACCES);
  EXPECT_EQ(mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0), -1);
  faulty_.Clear();
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 1);
  EXPECT_NE(Log().find("收缩离线文件：更名TXT文件失败"), std::string::npos);

  // A block that does not decompress is dropped with its log line.
  ASSERT_EQ(posix_.WriteFile(*mgr.paths()->PersonTextPath(u"alice"), std::string(64, 'z')), 0);
  mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0);
  EXPECT_NE(Log().find("解压离线消息内容失败，丢弃"), std::string::npos);
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), IndexStore::kCannotLoad);
}

}  // namespace
}  // namespace pigeonbox
