// The shrink under faults: a shrink that cannot carry every part within its age changes nothing,
// long parts are carried whole, the journal survives a kill at any point, and the shrink holds
// no stripe but its owner's.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "store/offmsg_store_mgr.h"
#include "store/store_lock_stripes.h"
#include "testutil/store/store_mgr_fixture.h"

namespace pigeonbox {
namespace {

constexpr int64_t kNow = testutil::kStoreNow;

IndexRecord Part(std::u16string msgId, int64_t age) {
  return testutil::Record(std::move(msgId), static_cast<int32_t>(kNow - age));
}

class ShrinkTest : public testutil::StoreMgrFixture {
 protected:
  // The decompressed texts of alice's parts of one MsgID.
  std::vector<std::u16string> Texts(std::u16string_view msgId) {
    std::vector<TextRecord> parts;
    mgr_->GetOffMsgTxt(u"alice", msgId, &parts);
    std::vector<std::u16string> texts;
    for (const TextRecord& part : parts) texts.push_back(testutil::StoredText(part));
    return texts;
  }
  // Files the shrink keeps only while it runs: its temporary pair (and any scratch copy of it)
  // and the journal entries.
  std::vector<std::string> ShrinkLeftovers() {
    std::vector<std::string> found;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(dir_.path() + "OffMsg")) {
      const std::string path = entry.path().string();
      if (path.find("~shrink") != std::string::npos ||
          (path.find("/.shrink/") != std::string::npos && entry.is_regular_file()))
        found.push_back(path);
    }
    return found;
  }
};

// Alice: two live parts, a deleted one (a dead block) and an expired one.
void FillAlice(OffMsgStoreMgr& mgr) {
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"one", Part(u"m1", 10)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"dead", Part(u"d", 9)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"old", Part(u"x", 1000)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"two", Part(u"m2", 8)), 0);
  ASSERT_EQ(mgr.DelOffMsg(u"alice", u"d"), 0);
}

TEST_F(ShrinkTest, AShrinkThatCannotCarryEveryPartChangesNothing) {
  OffMsgStoreMgr& mgr = Start();
  FillAlice(mgr);
  struct Fault {
    FaultyFileSystem::Op op;
    const char* pattern;
    int error;
    int skip;
  } faults[] = {
      {FaultyFileSystem::Op::kWrite, "*~shrink.txt", ENOSPC, 0},  // the new text file
      {FaultyFileSystem::Op::kWrite, "*~shrink.xml", ENOSPC, 0},  // the new index
      {FaultyFileSystem::Op::kRead, "*/alice.txt", EMFILE, 1},    // the second part's block
      {FaultyFileSystem::Op::kRead, "*/alice.xml", EIO, 0},       // the live index
      {FaultyFileSystem::Op::kWrite, "*/.shrink/*", ENOSPC, 0},   // the journal entry
      {FaultyFileSystem::Op::kRename, "*/.shrink/*", EIO, 1},     // its complete version
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.pattern);
    faulty_.FailCalls(fault.op, fault.pattern, fault.error, fault.skip);
    EXPECT_EQ(mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0), -1);
    faulty_.Clear();
    EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 3);
    EXPECT_EQ(Texts(u"m1"), std::vector<std::u16string>{u"one"});
    EXPECT_EQ(Texts(u"x"), std::vector<std::u16string>{u"old"});
    EXPECT_TRUE(ShrinkLeftovers().empty());
  }
  EXPECT_NE(Log().find("收缩离线文件：放弃用户alice的收缩"), std::string::npos);
  EXPECT_FALSE(posix_.Exists(*mgr.paths()->PersonIndexPath(u"alice_Backup")));
}

TEST_F(ShrinkTest, AFailedRenameLeavesTheOwnerAMatchingPair) {
  OffMsgStoreMgr& mgr = Start();
  FillAlice(mgr);
  // The last rename (the new text file into place) fails; the renames before it are undone.
  faulty_.FailCalls(FaultyFileSystem::Op::kRename, "*~shrink.txt", EIO);
  EXPECT_EQ(mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0), -1);
  faulty_.Clear();
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 3);
  EXPECT_EQ(Texts(u"m2"), std::vector<std::u16string>{u"two"});
  EXPECT_TRUE(ShrinkLeftovers().empty());
  EXPECT_NE(Log().find("收缩离线文件：更名TXT文件失败"), std::string::npos);

  // When the undoing fails as well, the journal entry stays and the next start completes the
  // shrink; until then no part is lost.
  faulty_.FailCalls(FaultyFileSystem::Op::kRename, "*", EIO, /*skip=*/5);
  EXPECT_EQ(mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0), -1);
  faulty_.Clear();
  Start();
  EXPECT_EQ(mgr_->GetOffMsgSum(u"alice"), 2);
  EXPECT_EQ(Texts(u"m1"), std::vector<std::u16string>{u"one"});
  EXPECT_EQ(Texts(u"m2"), std::vector<std::u16string>{u"two"});
  EXPECT_TRUE(ShrinkLeftovers().empty());
  EXPECT_NE(Log().find("收缩离线文件：完成中断的收缩 alice"), std::string::npos);
}

TEST_F(ShrinkTest, AShrinkKeepingNothingLeavesBothFilesOrNeither) {
  OffMsgStoreMgr& mgr = Start();
  FillAlice(mgr);
  // Nothing is young enough; the new, empty pair goes, but its text file cannot.
  faulty_.FailCalls(FaultyFileSystem::Op::kUnlink, "*/alice.txt", EIO);
  EXPECT_EQ(mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 1.0), 0);
  faulty_.Clear();
  EXPECT_TRUE(posix_.Exists(*mgr.paths()->PersonIndexPath(u"alice")));
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 0);
  Start();  // the journal entry stayed: the start removes the rest
  EXPECT_FALSE(posix_.Exists(*mgr_->paths()->PersonIndexPath(u"alice")));
  EXPECT_FALSE(posix_.Exists(*mgr_->paths()->PersonTextPath(u"alice")));
  EXPECT_TRUE(ShrinkLeftovers().empty());

  // With group storage turned off, a group pair goes to the backup whole.
  ASSERT_EQ(mgr_->AddDisGroupOffMsg(u"Team", u"g", Part(u"g", 1)), 0);
  StoreSettings off;
  off.storeDisGroupMaxCount = 0;
  Start(off);
  EXPECT_EQ(mgr_->ShrinkOffMsgFile(u"Team", OffMsgStoreMgr::kGroupKind, 100.0), 0);
  EXPECT_FALSE(posix_.Exists(*mgr_->paths()->GroupIndexPath(u"Team")));
  EXPECT_TRUE(posix_.Exists(*mgr_->paths()->GroupTextPath(u"Team_Backup")));
}

TEST_F(ShrinkTest, LongPartsAreCarriedWholeAndUndecodableOnesReported) {
  OffMsgStoreMgr& mgr = Start();
  // 2,001 characters of varied text: 4,004 bytes of UTF-16, more than 3,600.
  std::u16string longText;
  for (int i = 0; i < 2001; ++i) longText += static_cast<char16_t>(u'a' + (i * 7 + i / 13) % 26);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", longText, Part(u"long", 5)), 0);
  ASSERT_EQ(mgr.AddOffMsg(u"alice", u"short", Part(u"short", 5)), 0);
  EXPECT_EQ(mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0), 0);
  EXPECT_EQ(Texts(u"long"), std::vector<std::u16string>{longText});
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 2);

  // A block that does not decompress is the one part a shrink may drop, and it says so.
  std::string text = dir_.Read(mgr.paths()->PersonTextPath(u"alice")->substr(dir_.path().size()));
  text[text.size() - 3] ^= 0x55;  // inside the last block ("short")
  dir_.Write(mgr.paths()->PersonTextPath(u"alice")->substr(dir_.path().size()), text);
  OffMsgStoreMgr::ShrinkResult result = mgr.Shrink(u"alice", OffMsgStoreMgr::kPersonKind, 100.0);
  EXPECT_TRUE(result.status.ok());
  EXPECT_EQ(result.carried, 1);
  EXPECT_EQ(result.undecodable, 1);
  EXPECT_EQ(Texts(u"long"), std::vector<std::u16string>{longText});
  EXPECT_NE(Log().find("解压离线消息内容失败，丢弃"), std::string::npos);
}

TEST_F(ShrinkTest, AJournalEntryThatIsNotCompleteRollsBack) {
  OffMsgStoreMgr& mgr = Start();
  FillAlice(mgr);
  // What a kill while the entry was written, or while the new pair was built, leaves: an empty
  // entry and a temporary pair.
  const std::string index = *mgr.paths()->PersonIndexPath(u"alice");
  const std::string text = *mgr.paths()->PersonTextPath(u"alice");
  const std::string bucket = index.substr(0, index.rfind('/') + 1);
  ASSERT_EQ(posix_.WriteFile(bucket + ".alice.~shrink.xml", "<OffMsgIndexData DataSum=\"0\">"), 0);
  ASSERT_EQ(posix_.WriteFile(text.substr(0, text.rfind('/') + 1) + ".alice.~shrink.txt", ""), 0);
  for (const char* content : {"", "building", "complete 12"}) {
    SCOPED_TRACE(content);
    ASSERT_EQ(posix_.MakeDir(dir_.path() + "OffMsg/.shrink"), 0);
    ASSERT_EQ(posix_.WriteFile(dir_.path() + "OffMsg/.shrink/p.alice", content), 0);
    Start();
    EXPECT_EQ(mgr_->GetOffMsgSum(u"alice"), 3);
    EXPECT_EQ(Texts(u"m1"), std::vector<std::u16string>{u"one"});
    EXPECT_TRUE(ShrinkLeftovers().empty());
  }
  // A shrink leaves nothing of its own behind, not even a scratch copy of its new index.
  EXPECT_EQ(mgr_->ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0), 0);
  EXPECT_EQ(mgr_->ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0), 0);
  EXPECT_EQ(mgr_->GetOffMsgSum(u"alice"), 2);
  EXPECT_TRUE(ShrinkLeftovers().empty());
}

TEST_F(ShrinkTest, StartRemovesTemporaryFilesNoJournalEntrySpeaksFor) {
  OffMsgStoreMgr& mgr = Start();
  FillAlice(mgr);
  ASSERT_EQ(mgr.AddOffMsg(u"bob", u"b", Part(u"b", 1)), 0);
  auto dirOf = [](const std::string& path) { return path.substr(0, path.rfind('/') + 1); };
  const std::string aliceDir = dirOf(*mgr.paths()->PersonIndexPath(u"alice"));
  const std::string bobTemp = dirOf(*mgr.paths()->PersonIndexPath(u"bob")) + ".bob.~shrink.xml";
  // What earlier versions left: a temporary pair in a bucket of its own, and its scratch copy.
  const std::string other = dir_.path() + "OffMsg/OffMsgIndex/3/";
  for (const char* name : {".alice.~shrink.xml", "..alice.~shrink.xml.swap"})
    ASSERT_EQ(posix_.WriteFile(other + name, "x"), 0);
  // Bob's shrink was interrupted, and its journal entry cannot be read at the next start.
  ASSERT_EQ(posix_.WriteFile(bobTemp, "x"), 0);
  ASSERT_EQ(posix_.MakeDir(dir_.path() + "OffMsg/.shrink"), 0);
  ASSERT_EQ(posix_.WriteFile(dir_.path() + "OffMsg/.shrink/p.bob", "building"), 0);
  faulty_.FailCalls(FaultyFileSystem::Op::kRead, "*/p.bob", EMFILE);
  Start();
  faulty_.Clear();
  EXPECT_FALSE(posix_.Exists(other + ".alice.~shrink.xml"));
  EXPECT_FALSE(posix_.Exists(other + "..alice.~shrink.xml.swap"));
  EXPECT_TRUE(posix_.Exists(aliceDir + ".alice.xml.swap"));  // the index's own scratch copy
  EXPECT_TRUE(posix_.Exists(bobTemp));
  Start();
  EXPECT_TRUE(ShrinkLeftovers().empty());
  EXPECT_EQ(mgr_->GetOffMsgSum(u"bob"), 1);
}

TEST_F(ShrinkTest, AShrinkTakesNoStripeButItsOwners) {
  OffMsgStoreMgr& mgr = Start();
  FillAlice(mgr);
  // Every other stripe is held by another thread while alice is shrunk.
  std::promise<void> held, release;
  std::thread holder([&] {
    std::vector<std::unique_lock<std::mutex>> locks;
    const int own = StoreLockStripes::StripeOf(u"alice");
    for (int s = 0; s < StoreLockStripes::kStripeCount; ++s)
      if (s != own) locks.emplace_back(mgr.stripes().ForStripe(s));
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  auto shrink = std::async(std::launch::async, [&] {
    return mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 100.0);
  });
  const bool finished = shrink.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  release.set_value();
  holder.join();
  EXPECT_TRUE(finished) << "the shrink waited for a stripe that is not its owner's";
  EXPECT_EQ(shrink.get(), 0);
}

}  // namespace
}  // namespace pigeonbox
