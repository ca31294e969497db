// Threads add, delete, count and read messages of the same owners at once through one manager;
// afterwards every owner holds exactly what was added and not deleted, and the store is sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "store/offmsg_store_mgr.h"
#include "store/store_inspect.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

constexpr int kThreads = 4;
constexpr int kOwners = 5;
constexpr int kAddsPerOwner = 20;  // per thread, person and group each

// Person spellings differ by thread (they name the same files); group names do not.
std::u16string PersonName(int thread, int owner) {
  std::u16string name = u"shared" + Widen(std::to_string(owner));
  if (thread % 2) name[0] = u'S';
  if (thread == 3) name = u"SHARED" + Widen(std::to_string(owner));
  return name;
}
std::u16string GroupName(int owner) {
  return u"Team" + Widen(std::to_string(owner));
}
std::u16string MsgId(char kind, int thread, int i) {
  return Widen(std::string(1, kind) + std::to_string(thread) + "-" + std::to_string(i));
}
bool Deleted(int i) {
  return i % 3 == 0;
}

class StoreConcurrencyTest : public ::testing::Test {
 protected:
  StoreConcurrencyTest() : store_(root_.path(), Settings(), fs_, log_) { store_.InitStores(); }

  static StoreSettings Settings() {
    StoreSettings settings;
    settings.storeMaxCount = 1000;  // no trimming: every add must be counted
    settings.storeDisGroupMaxCount = 1000;
    return settings;
  }

  // Adds its own MsgIDs to every owner, reads each back, deletes every third; counts between.
  void Work(int thread) {
    for (int i = 0; i < kAddsPerOwner; ++i) {
      for (int owner = 0; owner < kOwners; ++owner) {
        const std::u16string person = PersonName(thread, owner);
        const std::u16string text = u"text " + MsgId('p', thread, i);
        IndexRecord record;
        record.Sender = u"bob";
        record.Type = u"IM";
        record.MsgID = MsgId('p', thread, i);
        Check(store_.AddOffMsg(person, text, record) == 0, "person add");
        record.MsgID = MsgId('g', thread, i);
        Check(store_.AddDisGroupOffMsg(GroupName(owner), text, record) == 0, "group add");
        Check(ReadsBack(person, MsgId('p', thread, i), text), "person read-back");
        Check(store_.GetAllOffMsgSum(person) >= 1, "count");
        if (Deleted(i)) {
          Check(store_.DelOffMsg(person, MsgId('p', thread, i)) == 0, "person delete");
          Check(store_.DelOffMsg(GroupName(owner), MsgId('g', thread, i)) == 0, "group delete");
        }
      }
    }
  }

  bool ReadsBack(std::u16string_view owner, std::u16string_view msgId, const std::u16string& text) {
    std::vector<TextRecord> parts;
    store_.GetOffMsgTxt(owner, msgId, &parts);
    if (parts.size() != 1) return false;
    std::u16string decoded;
    std::string problem;
    std::string_view block(reinterpret_cast<const char*>(parts[0].Data.data()),
                           parts[0].Data.size());
    return DecodeTextBlock(block, &decoded, &problem) && decoded == text;
  }

  // gtest assertions are thread-safe, but one failure line per kind is enough.
  void Check(bool ok, const char* what) {
    if (!ok && failures_.fetch_add(1) < 5) ADD_FAILURE() << what << " failed";
  }

  std::set<std::u16string> ListedIds(std::vector<IndexRecord> records) {
    std::set<std::u16string> ids;
    for (const IndexRecord& r : records) ids.insert(r.MsgID);
    return ids;
  }

  testutil::TempDir root_;
  PosixFileSystem fs_;
  LogFile log_;
  OffMsgStoreMgr store_;
  std::atomic<int> failures_{0};
};

TEST_F(StoreConcurrencyTest, CountsAddUpAcrossThreadsOnSharedOwners) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([this, t] { Work(t); });
  for (std::thread& thread : threads) thread.join();

  std::set<std::u16string> expectedPerson, expectedGroup;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kAddsPerOwner; ++i) {
      if (Deleted(i)) continue;
      expectedPerson.insert(MsgId('p', t, i));
      expectedGroup.insert(MsgId('g', t, i));
    }
  }
  const int expected = static_cast<int>(expectedPerson.size());
  for (int owner = 0; owner < kOwners; ++owner) {
    SCOPED_TRACE(owner);
    const std::u16string person = PersonName(0, owner);
    EXPECT_EQ(store_.GetOffMsgSum(person), expected);
    EXPECT_EQ(store_.GetAllOffMsgSum(GroupName(owner)), expected);  // no person files: group only
    std::vector<IndexRecord> records;
    ASSERT_EQ(store_.GetOffMsgIndex(person, &records), 0);
    EXPECT_EQ(ListedIds(records), expectedPerson);
    ASSERT_EQ(store_.GetAllOffMsgIndex(GroupName(owner), &records), 0);
    EXPECT_EQ(ListedIds(records), expectedGroup);
  }
  StoreInspection found = InspectStore(fs_, *store_.paths());
  EXPECT_TRUE(found.damage.empty()) << found.damage[0].file << ": " << found.damage[0].problem;
  EXPECT_EQ(found.entries, 2 * kOwners * expected);
  EXPECT_EQ(found.personIndexFiles, kOwners);
  EXPECT_EQ(found.groupIndexFiles, kOwners);
  EXPECT_GT(found.deadBytes, 0);  // the deleted blocks stay in the text files
}

}  // namespace
}  // namespace pigeonbox
