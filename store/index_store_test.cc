#include "store/index_store.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "base/text.h"
#include "store/safe_save.h"
#include "testutil/store/faulty_file_system.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

IndexRecord Record(std::u16string msgId, int32_t createTime = 1000,
                   std::u16string title = u"title") {
  IndexRecord r;
  r.CreateTime = createTime;
  r.Title = std::move(title);
  r.SrcIdentifier = u"src";
  r.Type = u"Quorvel.KVT.IM";
  r.Sender = u"bob";
  r.Reciever = u"alice";
  r.MsgID = std::move(msgId);
  r.SessionDescription = u"desc";
  return r;
}

class IndexStoreTest : public ::testing::Test {
 protected:
  IndexStoreTest() : faulty_(posix_), paths_(dir_.path(), faulty_) {
    log_.Open(dir_.path() + "Logs", "Pigeonbox.log");
  }

  OffMsgIndexStore Person(int32_t limit = 99) {
    return OffMsgIndexStore(limit, false, paths_, faulty_, log_);
  }
  DisGroupIndexStore Group(int32_t limit = 300) {
    return DisGroupIndexStore(limit, false, paths_, faulty_, log_);
  }
  std::string PersonIndexFile(std::u16string_view owner) {
    return posix_.ReadFile(*paths_.PersonIndexPath(owner), &text_) == 0 ? text_ : "(missing)";
  }
  // Writes an index file by hand: DataSum and the given entries (MsgIDs; "" for none).
  void WritePersonIndex(std::u16string_view owner, int dataSum,
                        const std::vector<std::string>& msgIds) {
    std::string text = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<OffMsgIndexData DataSum=\"" +
                       std::to_string(dataSum) + "\">\n";
    int addr = 0;
    for (const std::string& id : msgIds) {
      text += "<OffMsgRec CreateTime=\"" + std::to_string(100 + addr) + "\" Addr=\"" +
              std::to_string(addr) + "\" Len=\"10\" MsgID=\"" + id + "\"/>\r\n";
      addr += 10;
    }
    text += "</OffMsgIndexData>";
    ASSERT_EQ(posix_.WriteFile(*paths_.PersonIndexPath(owner), text), 0);
  }
  int Sum(IndexStore& store, std::u16string_view owner) {
    int32_t sum = 0;
    Status counted = store.GetOffMsgIndexSum(owner, &sum);
    return IndexStore::CountCode(counted, sum);
  }
  std::vector<std::u16string> ListedIds(IndexStore& store, std::u16string_view owner) {
    std::vector<IndexRecord> list;
    store.GetOffMsgIndexList(owner, &list);
    std::vector<std::u16string> ids;
    for (const IndexRecord& r : list) ids.push_back(r.MsgID);
    return ids;
  }

  testutil::TempDir dir_;
  PosixFileSystem posix_;
  FaultyFileSystem faulty_;
  StorePaths paths_;
  LogFile log_;
  std::string text_;
};

TEST_F(IndexStoreTest, FirstAddWritesTheTemplateAndOneEntryLine) {
  OffMsgIndexStore store = Person();
  IndexRecord r = Record(u"m1", 1700000000, u"A \"quoted\" <title> & '中文'");
  ASSERT_TRUE(store.AddOffMsgIndex(u"Alice", OffMsgTextPos{0, 37}, r).ok());
  EXPECT_EQ(PersonIndexFile(u"alice"),
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
            "<OffMsgIndexData DataSum=\"1\">\n"
            "<OffMsgRec CreateTime=\"1700000000\" Addr=\"0\" Len=\"37\" Type=\"Quorvel.KVT.IM\" "
            "SrcIdentifier=\"src\" Sender=\"bob\" Recievers=\";alice\" "
            "Title=\"A &quot;quoted&quot; &lt;title&gt; &amp; &apos;\xD6\xD0\xCE\xC4&apos;\" "
            "MsgID=\"m1\" SessionDesc=\"desc\"/>\r\n"
            "</OffMsgIndexData>");
  EXPECT_EQ(Sum(store, u"ALICE"), 1);
  std::vector<IndexRecord> list;
  ASSERT_TRUE(store.GetOffMsgIndexList(u"alice", &list).ok());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Title, r.Title);
  EXPECT_EQ(list[0].Reciever, u";alice");
  EXPECT_EQ(list[0].CreateTime, 1700000000);
}

TEST_F(IndexStoreTest, TrimKeepsTheLimit) {
  OffMsgIndexStore store = Person(99);
  std::vector<std::string> ids;
  for (int i = 0; i < 99; ++i) ids.push_back("id" + std::to_string(i));
  WritePersonIndex(u"alice", 99, ids);
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {990, 5}, Record(u"new")).ok());
  EXPECT_EQ(Sum(store, u"alice"), 99);
  std::vector<std::u16string> listed = ListedIds(store, u"alice");
  ASSERT_EQ(listed.size(), 99u);
  EXPECT_EQ(listed.front(), u"id1");
  EXPECT_EQ(listed.back(), u"new");

  // A lowered limit: 105 entries and limit 99 remove 6, leaving 100 after the add.
  ids.clear();
  for (int i = 0; i < 105; ++i) ids.push_back("x" + std::to_string(i));
  WritePersonIndex(u"carol", 105, ids);
  ASSERT_TRUE(store.AddOffMsgIndex(u"carol", {0, 5}, Record(u"new")).ok());
  EXPECT_EQ(Sum(store, u"carol"), 100);
  EXPECT_EQ(ListedIds(store, u"carol").front(), u"x6");
}

TEST_F(IndexStoreTest, LimitZeroKeepsOnlyTheNewestAndEmptyIdsAreNeverTrimmed) {
  OffMsgIndexStore store = Person(0);
  WritePersonIndex(u"dave", 3, {"", "a", "b"});
  ASSERT_TRUE(store.AddOffMsgIndex(u"dave", {0, 5}, Record(u"c")).ok());
  // n=3 > m=0 removes 3 entries with a MsgID; only two exist. The empty one stays and counts.
  EXPECT_EQ(Sum(store, u"dave"), 2);
  EXPECT_EQ(ListedIds(store, u"dave"), std::vector<std::u16string>{u"c"});
  ASSERT_TRUE(store.AddOffMsgIndex(u"dave", {5, 5}, Record(u"d")).ok());
  EXPECT_EQ(ListedIds(store, u"dave"), std::vector<std::u16string>{u"d"});
  EXPECT_TRUE(store.DelOffMsgIndex(u"dave", u"").IsNotFound());
}

TEST_F(IndexStoreTest, SameMsgIdMergesInListsAndIsFoundAndDeletedTogether) {
  OffMsgIndexStore store = Person();
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {0, 10}, Record(u"ABC", 100, u"first")).ok());
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {10, 20}, Record(u"other", 101)).ok());
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {30, 30}, Record(u"abc", 102, u"second")).ok());

  std::vector<IndexRecord> list;
  list.push_back(Record(u"OTHER"));  // entries already listed take part in the merge
  list.back().Count = 1;
  ASSERT_TRUE(store.GetOffMsgIndexList(u"alice", &list).ok());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Count, 2);
  EXPECT_EQ(list[1].MsgID, u"ABC");
  EXPECT_EQ(list[1].Count, 2);
  EXPECT_EQ(list[1].Title, u"first");

  std::vector<TextLocation> found;
  ASSERT_TRUE(store.GetTextLocations(u"alice", u"Abc", &found).ok());
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Addr, 0);
  EXPECT_EQ(found[1].Addr, 30);
  EXPECT_EQ(found[1].Len, 30);
  found.clear();
  ASSERT_TRUE(store.GetTextLocationsSince(u"alice", u"abc", 0, &found).ok());
  EXPECT_EQ(found.size(), 2u);
  found.clear();
  ASSERT_TRUE(store.GetTextLocationsSince(u"alice", u"abc", 101, &found).ok());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].CreateTime, 102);
  EXPECT_TRUE(store.GetTextLocations(u"alice", u"nope", &found).IsNotFound());

  Status after = Status::Empty();
  ASSERT_TRUE(store.DelOffMsgIndex(u"alice", u"aBc", &after).ok());
  EXPECT_TRUE(after.ok());  // an entry remains
  EXPECT_EQ(Sum(store, u"alice"), 1);
  EXPECT_TRUE(store.DelOffMsgIndex(u"alice", u"abc", &after).IsNotFound());
  EXPECT_TRUE(after.ok());
  EXPECT_TRUE(store.DelOffMsgIndex(u"nobody", u"abc", &after).IsAbsent());
  EXPECT_TRUE(after.IsAbsent());

  // MsgIDs with entities and non-ASCII characters match on their decoded forms; a character
  // without a code-page form is stored as "?" and matches nothing but itself.
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {60, 1}, Record(u"a&b<中>", 103)).ok());
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {61, 1}, Record(u"x\uD55C", 104)).ok());
  found.clear();
  EXPECT_TRUE(store.GetTextLocations(u"alice", u"A&B<中>", &found).ok());
  EXPECT_TRUE(store.DelOffMsgIndex(u"alice", u"x\uD55C").IsNotFound());
  EXPECT_TRUE(store.DelOffMsgIndex(u"alice", u"X?").ok());
  EXPECT_TRUE(store.DelOffMsgIndex(u"alice", u"a&B<中>").ok());
}

TEST_F(IndexStoreTest, DeleteByTimeHonoursTheExactBound) {
  OffMsgIndexStore store = Person();
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {500, 10}, Record(u"m", 2000)).ok());
  EXPECT_TRUE(store.DelOffMsgIndexByTime(u"alice", u"m", 2000, 499).IsNotFound());
  EXPECT_TRUE(store.DelOffMsgIndexByTime(u"alice", u"m", 1999, 0xFFFFFFFF).IsNotFound());
  EXPECT_EQ(Sum(store, u"alice"), 1);
  EXPECT_TRUE(store.DelOffMsgIndexByTime(u"alice", u"m", 2000, 500).ok());
  EXPECT_EQ(Sum(store, u"alice"), 0);
}

TEST_F(IndexStoreTest, RecieverPrefixDependsOnSenderAndStore) {
  OffMsgIndexStore person = Person();
  DisGroupIndexStore group = Group();
  IndexRecord system = Record(u"s");
  std::u16string guid(kSystemSenderGuids[1]);
  for (char16_t& c : guid) c = LowerChar(c);
  system.Sender = guid;
  ASSERT_TRUE(person.AddOffMsgIndex(u"alice", {0, 1}, system).ok());
  ASSERT_TRUE(person.AddOffMsgIndex(u"alice", {1, 1}, Record(u"o")).ok());
  ASSERT_TRUE(group.AddOffMsgIndex(u"alice", {0, 1}, system).ok());
  std::vector<IndexRecord> list;
  person.GetOffMsgIndexList(u"alice", &list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Reciever, u"alice");
  EXPECT_EQ(list[1].Reciever, u";alice");
  list.clear();
  group.GetOffMsgIndexList(u"alice", &list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Reciever, u";alice");
  // Group files keep the owner's letter case: Team and team are two owners.
  EXPECT_EQ(Sum(group, u"Alice"), IndexStore::kCannotLoad);
}

TEST_F(IndexStoreTest, CorruptFileIsSetAsideAndTheNextAddStartsAfresh) {
  OffMsgIndexStore store = Person();
  std::string indexPath = *paths_.PersonIndexPath(u"alice");
  std::string textPath = *paths_.PersonTextPath(u"alice");
  ASSERT_EQ(posix_.WriteFile(indexPath, "<OffMsgIndexData DataSum=\"1\"><OffMsgRec"), 0);
  ASSERT_EQ(posix_.WriteFile(textPath, "blocks"), 0);
  EXPECT_EQ(Sum(store, u"alice"), IndexStore::kCannotLoad);
  EXPECT_TRUE(store.AddOffMsgIndex(u"alice", {0, 1}, Record(u"m")).IsCorrupt());
  EXPECT_FALSE(posix_.Exists(indexPath));
  EXPECT_FALSE(posix_.Exists(textPath));
  EXPECT_TRUE(posix_.Exists(indexPath + ".rename"));
  EXPECT_TRUE(posix_.Exists(textPath + ".rename"));
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {0, 1}, Record(u"m")).ok());
  EXPECT_EQ(Sum(store, u"alice"), 1);
}

TEST_F(IndexStoreTest, DamagedPositionsAreSkippedOnLookup) {
  OffMsgIndexStore store = Person();
  ASSERT_EQ(posix_.WriteFile(*paths_.PersonIndexPath(u"alice"),
                             "<OffMsgIndexData DataSum=\"3\">"
                             "<OffMsgRec Addr=\"-5\" Len=\"10\" MsgID=\"m\"/>"
                             "<OffMsgRec Addr=\"0\" Len=\"2000000000\" MsgID=\"m\"/>"
                             "<OffMsgRec Addr=\"7\" Len=\"3071\" MsgID=\"m\"/>"
                             "</OffMsgIndexData>"),
            0);
  std::vector<TextLocation> found;
  ASSERT_TRUE(store.GetTextLocations(u"alice", u"m", &found).ok());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Addr, 7);
}

TEST_F(IndexStoreTest, FailedSavesReportAndKeepThePreviousIndex) {
  OffMsgIndexStore store = Person();
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {0, 1}, Record(u"a")).ok());
  const std::string before = PersonIndexFile(u"alice");

  for (int error : {ENOSPC, EIO}) {
    faulty_.FailWritesAfterBytes("*", 40, error);
    EXPECT_TRUE(store.AddOffMsgIndex(u"alice", {1, 1}, Record(u"b")).IsWriteFailed());
    EXPECT_TRUE(store.DelOffMsgIndex(u"alice", u"a").IsWriteFailed());
    faulty_.Clear();
    EXPECT_EQ(PersonIndexFile(u"alice"), before);
  }
  faulty_.FailCalls(FaultyFileSystem::Op::kExchange, "*", EIO);
  EXPECT_TRUE(store.AddOffMsgIndex(u"alice", {1, 1}, Record(u"b")).IsWriteFailed());
  EXPECT_EQ(PersonIndexFile(u"alice"), before);
  faulty_.Clear();

  // A file system without atomic exchange falls back to rename-over.
  faulty_.FailCalls(FaultyFileSystem::Op::kExchange, "*", EINVAL);
  EXPECT_TRUE(store.AddOffMsgIndex(u"alice", {1, 1}, Record(u"b")).ok());
  faulty_.Clear();
  EXPECT_EQ(Sum(store, u"alice"), 2);
  // The kept scratch copy goes with the index file.
  std::string indexPath = *paths_.PersonIndexPath(u"alice");
  ASSERT_TRUE(store.AddOffMsgIndex(u"alice", {2, 1}, Record(u"c")).ok());
  EXPECT_TRUE(posix_.Exists(ScratchPathOf(indexPath)));
  EXPECT_TRUE(store.DeleteIndexFile(u"alice").ok());
  EXPECT_FALSE(posix_.Exists(indexPath));
  EXPECT_FALSE(posix_.Exists(ScratchPathOf(indexPath)));
}

// With SyncWrites a save reaches the device before it counts: the scratch copy is written and
// synced, exchanged with the index, and the directory holding the new name is synced.
TEST_F(IndexStoreTest, SyncedSavesWriteSyncExchangeAndSyncTheDirectoryInThatOrder) {
  OffMsgIndexStore synced(99, true, paths_, faulty_, log_);
  ASSERT_TRUE(synced.AddOffMsgIndex(u"alice", {0, 1}, Record(u"a")).ok());
  const std::string index = *paths_.PersonIndexPath(u"alice");
  const std::string scratch = ScratchPathOf(index);
  const std::string dir = index.substr(0, index.rfind('/') + 1);
  auto changes = [this] {
    std::vector<std::string> calls;
    for (const std::string& call : faulty_.RecordedCalls()) {
      if (call.rfind("read ", 0) != 0 && call.rfind("stat ", 0) != 0) calls.push_back(call);
    }
    return calls;
  };

  faulty_.RecordCalls(true);
  ASSERT_TRUE(synced.AddOffMsgIndex(u"alice", {1, 1}, Record(u"b")).ok());
  ASSERT_TRUE(synced.DelOffMsgIndex(u"alice", u"a").ok());
  faulty_.RecordCalls(false);
  const std::vector<std::string> save = {"write " + scratch, "sync " + scratch,
                                         "exchange " + scratch + " -> " + index, "sync " + dir};
  std::vector<std::string> twoSaves = save;
  twoSaves.insert(twoSaves.end(), save.begin(), save.end());
  EXPECT_EQ(changes(), twoSaves);

  // A failed sync of the scratch copy leaves the index as it was and reports the save failed.
  faulty_.FailCalls(FaultyFileSystem::Op::kSync, "*.swap", EIO);
  EXPECT_EQ(synced.AddOffMsgIndex(u"alice", {2, 1}, Record(u"c")).error(), EIO);
  faulty_.Clear();
  EXPECT_EQ(Sum(synced, u"alice"), 1);
  // Without SyncWrites nothing is synced.
  const int64_t syncs = faulty_.CallCount(FaultyFileSystem::Op::kSync);
  ASSERT_TRUE(Person().AddOffMsgIndex(u"alice", {2, 1}, Record(u"c")).ok());
  EXPECT_EQ(faulty_.CallCount(FaultyFileSystem::Op::kSync), syncs);
}

TEST_F(IndexStoreTest, OwnerNamesThatLeaveTheDirectoryAreRefused) {
  OffMsgIndexStore person = Person();
  DisGroupIndexStore group = Group();
  for (const std::u16string& bad :
       std::vector<std::u16string>{u"../x", u"..", u"a/b", std::u16string(u"a\0b", 3)}) {
    EXPECT_TRUE(person.AddOffMsgIndex(bad, {0, 1}, Record(u"m")).IsRefused());
    EXPECT_TRUE(group.AddOffMsgIndex(bad, {0, 1}, Record(u"m")).IsRefused());
    std::vector<IndexRecord> list;
    EXPECT_TRUE(group.GetOffMsgIndexList(bad, &list).IsRefused());
    EXPECT_TRUE(person.DeleteIndexFile(bad).IsRefused());
  }
  // "../x" would have been x.xml one level up, beside the buckets and the group directory.
  EXPECT_FALSE(posix_.Exists(paths_.person_index_dir() + "x.xml"));
}

}  // namespace
}  // namespace pigeonbox
