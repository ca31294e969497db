// The index cache changes nothing but speed: a random run of store operations against a store
// with the cache and one without gives the same answers and leaves the same bytes on disk after
// every step, with faults injected into the writes of both alike.
//
// Reads are not failed on purpose: a cached index is not read again, so a read fault has
// nothing to hit in the cached store (its answer then comes from what the file holds).
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "base/clock.h"
#include "base/text.h"
#include "store/offmsg_store_mgr.h"
#include "store/store_walk.h"
#include "testutil/store/faulty_file_system.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

constexpr int64_t kStart = 1'700'000'000;

// One store and what it answers, as text (paths below its root written as "<root>").
class Side {
 public:
  Side(int32_t cacheMB, const ManualClock& clock) : faulty_(posix_) {
    StoreSettings settings;
    settings.storeMaxCount = 6;
    settings.storeDisGroupMaxCount = 9;
    settings.indexCacheMB = cacheMB;
    mgr_ = std::make_unique<OffMsgStoreMgr>(dir_.path(), settings, faulty_, log_, clock);
    mgr_->InitStores();
  }

  OffMsgStoreMgr& mgr() { return *mgr_; }
  FaultyFileSystem& faulty() { return faulty_; }
  const std::string& root() const { return dir_.path(); }

  std::string Normal(std::string text) const {
    for (size_t at; (at = text.find(dir_.path())) != std::string::npos;)
      text.replace(at, dir_.path().size(), "<root>/");
    return text;
  }

  // Every file below the store with its bytes.
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(dir_.path() + "OffMsg")) {
      const std::string name = entry.path().string().substr(dir_.path().size());
      if (entry.is_directory()) {
        files[name] = "<dir>";
        continue;
      }
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      files[name] = bytes.str();
    }
    return files;
  }

 private:
  testutil::TempDir dir_;
  PosixFileSystem posix_;
  FaultyFileSystem faulty_;
  LogFile log_;  // never opened
  std::unique_ptr<OffMsgStoreMgr> mgr_;
};

std::string Describe(const std::vector<IndexRecord>& list) {
  std::string out;
  for (const IndexRecord& r : list) {
    out += std::to_string(r.CreateTime) + "/" + std::to_string(r.Count) + "/" +
           ToUtf8(r.Title + u"/" + r.SrcIdentifier + u"/" + r.Type + u"/" + r.Sender + u"/" +
                  r.Reciever + u"/" + r.MsgID + u"/" + r.SessionDescription) +
           ";";
  }
  return out;
}

std::string Describe(const std::vector<TextRecord>& list) {
  std::string out;
  for (const TextRecord& r : list) {
    out += std::to_string(r.CreateTime) + "/" +
           ToUtf8(r.SrcIdentifier + u"/" + r.Type + u"/" + r.Reciever + u"/" + r.Sender) + "/" +
           std::string(r.Data.begin(), r.Data.end()) + "/" + std::to_string(r.DataLength) + "/" +
           std::to_string(r.Key.group) + "," + std::to_string(r.Key.entry.Addr) + "," +
           std::to_string(r.Key.entry.Len) + "," + std::to_string(r.Key.entry.CreateTime) + "," +
           std::to_string(r.Key.blockFingerprint) + ";";
  }
  return out;
}

const std::u16string kOwners[] = {u"alice", u"Bob", u"bob", u"carol"};
const std::u16string kMsgIds[] = {u"m1", u"M1", u"m2", u"m3", u"\u6d88\u606f", u"a&b\"c"};
const std::u16string kTitles[] = {u"plain", u"<&>\"'", u"\u6807\u9898", u""};

// Runs `steps` random operations on both sides; fails at the first difference.
// `titleBytes` pads every title, so that a small cache must evict.
void RunDifferential(int32_t cacheMB, uint32_t seed, int steps, size_t titleBytes = 0) {
  ManualClock clock(kStart);
  Side cached(cacheMB, clock), plain(0, clock);
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
  std::vector<TextRecord> lastFetch;
  for (int step = 0; step < steps; ++step) {
    clock.Advance(pick(4));
    const std::u16string owner = kOwners[pick(4)];
    const std::u16string msgId = kMsgIds[pick(6)];
    const int action = pick(16);
    // Every choice is drawn before the two sides run, so both get the same.
    const std::u16string title = std::u16string(titleBytes, u'x') + kTitles[pick(4)];
    const std::u16string text =
        u"text " + std::u16string(1, static_cast<char16_t>(u'a' + pick(26)));
    const uint32_t times[2] = {static_cast<uint32_t>(kStart + pick(300)),
                               static_cast<uint32_t>(kStart + pick(300))};
    const uint32_t addrs[2] = {static_cast<uint32_t>(pick(200)), static_cast<uint32_t>(pick(200))};
    const double maxAge = 50.0 + pick(200);
    // A fault in one of the writing calls, alike on both sides.
    const bool fault = pick(5) == 0;
    if (fault) {
      static constexpr FaultyFileSystem::Op kOps[] = {
          FaultyFileSystem::Op::kWrite, FaultyFileSystem::Op::kRename, FaultyFileSystem::Op::kSync,
          FaultyFileSystem::Op::kUnlink, FaultyFileSystem::Op::kExchange};
      const FaultyFileSystem::Op op = kOps[pick(5)];
      const int skip = pick(3);
      const int error = pick(2) ? ENOSPC : EIO;
      for (Side* side : {&cached, &plain}) side->faulty().FailCalls(op, "*", error, skip, 1);
    }
    auto run = [&](Side& side) -> std::string {
      OffMsgStoreMgr& mgr = side.mgr();
      std::string out = std::to_string(action) + ":";
      switch (action) {
        case 0:
        case 1:
        case 2: {
          IndexRecord r;
          r.CreateTime = static_cast<int32_t>(clock.Now());
          r.Title = title;
          r.Type = u"Quorvel.KVT.IM";
          r.Sender = u"sender";
          r.Reciever = owner;
          r.MsgID = msgId;
          out += std::to_string(action == 2 ? mgr.AddDisGroupOffMsg(owner, text, r)
                                            : mgr.AddOffMsg(owner, text, r));
          break;
        }
        case 3:
          out += std::to_string(mgr.GetOffMsgSum(owner)) + "," +
                 std::to_string(mgr.GetAllOffMsgSum(owner));
          break;
        case 4: {
          std::vector<IndexRecord> list;
          out += std::to_string(mgr.GetAllOffMsgIndex(owner, &list)) + Describe(list);
          list.clear();
          out += std::to_string(mgr.GetOffMsgIndex(owner, &list)) + Describe(list);
          break;
        }
        case 5:
        case 6: {
          std::vector<TextRecord> list;
          out += std::to_string(action == 5 ? mgr.GetOffMsgTxt(owner, msgId, &list)
                                            : mgr.GetOffMsgTxtSince(owner, msgId, times[0], &list));
          out += Describe(list);
          if (&side == &cached) lastFetch = list;
          break;
        }
        case 7:
          out += std::to_string(mgr.DelOffMsg(owner, msgId));
          break;
        case 8:
          out += std::to_string(
              mgr.DelOffMsgByTime(owner, msgId, times[0], addrs[0], times[1], addrs[1]));
          break;
        case 9: {
          std::vector<StoredPartKey> keys;
          for (const TextRecord& r : lastFetch) keys.push_back(r.Key);
          int removed = 0;
          out += side.Normal(mgr.DelOffMsgParts(owner, msgId, keys, &removed).ToString()) + "," +
                 std::to_string(removed);
          break;
        }
        case 10:
          out += std::to_string(mgr.DelUserOffMsgFiles(owner)) +
                 std::to_string(mgr.DelDisGroupOffMsgFiles(owner));
          break;
        case 11:
        case 12: {
          const OffMsgStoreMgr::ShrinkResult result = mgr.Shrink(
              owner, action == 11 ? OffMsgStoreMgr::kPersonKind : OffMsgStoreMgr::kGroupKind,
              maxAge);
          out += side.Normal(result.status.ToString()) + "," + std::to_string(result.carried) +
                 "," + std::to_string(result.expired) + "," + std::to_string(result.overLimit);
          break;
        }
        case 13: {  // what the invalid-user sweep does for a user who left
          WalkStoreFiles(side.faulty(), side.root() + "OffMsg/",
                         [&](const std::string& dir, const std::string& name) {
                           const std::u16string user = OwnerOfStoreFile(name);
                           if (ToLower(user) != ToLower(owner)) return;
                           const OwnerLock lock = mgr.LockOwner(user);
                           out += std::to_string(RemoveWalkedStoreFile(side.faulty(), dir + name));
                           mgr.ForgetCachedOwner(lock, user);
                         });
          break;
        }
        default: {  // reads of several owners, so that the cache fills and evicts
          for (const std::u16string& other : kOwners) {
            std::vector<IndexRecord> list;
            out += std::to_string(mgr.GetAllOffMsgIndex(other, &list)) + Describe(list);
          }
          break;
        }
      }
      return out;
    };
    const std::string cachedAnswer = run(cached);
    const std::string plainAnswer = run(plain);
    for (Side* side : {&cached, &plain}) side->faulty().Clear();
    ASSERT_EQ(cachedAnswer, plainAnswer) << "step " << step << " seed " << seed;
    ASSERT_EQ(cached.Files(), plain.Files()) << "step " << step << " action " << action;
  }
  if (std::optional<IndexCache::Stats> stats = cached.mgr().IndexCacheStats()) {
    EXPECT_GT(stats->hits, 0u);
    if (titleBytes > 0) {
      EXPECT_GT(stats->evictions, 0u);
    }
  } else {
    ADD_FAILURE() << "the cached side has no cache";
  }
  EXPECT_FALSE(plain.mgr().IndexCacheStats().has_value());
}

// Lookups by MsgID go through these keys: MsgIDs equal but for the case of A-Z must share one
// (a byte at any place of a word), and one with a byte >= 0x80 anywhere must have none.
TEST(IndexCacheTest, MsgIdKeysIgnoreLetterCaseAndLeaveOutOtherMsgIds) {
  EXPECT_EQ(MsgIdKey(""), 0u);
  const std::string base = "{0a1b2c3d-4e5f-6a7b-8c9d}@[`";
  for (size_t length = 1; length <= base.size(); ++length) {
    const std::string lower = base.substr(0, length);
    EXPECT_NE(MsgIdKey(lower), 0u) << lower;
    for (size_t at = 0; at < length; ++at) {
      std::string upper = lower;
      if (upper[at] >= 'a' && upper[at] <= 'z') upper[at] = static_cast<char>(upper[at] - 32);
      EXPECT_EQ(MsgIdKey(upper), MsgIdKey(lower)) << upper;
      std::string other = lower;
      other[at] = '\xB0';
      EXPECT_EQ(MsgIdKey(other), 0u) << at;
    }
  }
  EXPECT_NE(MsgIdKey("m1"), MsgIdKey("m2"));
}

// An owner read once costs the cache a DataSum, not the file: readers keep a file whole from
// its second read on, and count a read that needs the document where only the DataSum is kept
// as a miss.
TEST(IndexCacheTest, ReadersKeepAFileWholeFromItsSecondRead) {
  ManualClock clock(kStart);
  Side side(64, clock);
  OffMsgStoreMgr& mgr = side.mgr();
  for (int i = 0; i < 6; ++i) {
    IndexRecord r;
    r.CreateTime = static_cast<int32_t>(kStart + i);
    r.Title = std::u16string(100, u't');
    r.MsgID = u"m" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    ASSERT_EQ(mgr.AddOffMsg(u"alice", u"text", r), 0);
  }
  mgr.ForgetCachedOwner(mgr.LockOwner(u"alice"), u"alice");
  size_t fileBytes = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(side.root() + "OffMsg/OffMsgIndex")) {
    if (entry.path().filename() == "alice.xml") fileBytes = entry.file_size();
  }
  ASSERT_GT(fileBytes, 600u);
  auto stats = [&] { return mgr.IndexCacheStats().value_or(IndexCache::Stats{}); };
  const IndexCache::Stats before = stats();

  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 6);
  EXPECT_EQ(mgr.GetOffMsgSum(u"alice"), 6);
  const IndexCache::Stats counted = stats();
  EXPECT_EQ(counted.misses - before.misses, 1u);
  EXPECT_EQ(counted.hits - before.hits, 1u);
  EXPECT_LT(counted.bytes - before.bytes, fileBytes / 2);

  std::vector<IndexRecord> list;
  for (int read = 0; read < 2; ++read) {
    list.clear();
    EXPECT_EQ(mgr.GetOffMsgIndex(u"alice", &list), 0);
    EXPECT_EQ(list.size(), 6u);
  }
  const IndexCache::Stats listed = stats();
  EXPECT_EQ(listed.misses - counted.misses, 1u);  // the list found only the DataSum
  EXPECT_EQ(listed.hits - counted.hits, 1u);
  EXPECT_GT(listed.bytes - before.bytes, fileBytes);
}

TEST(IndexCacheTest, CachedAndUncachedStoresAgreeStepByStep) {
  RunDifferential(64, 0x5eed, 1500);
}

// A cache of 1 MiB and indexes of a few hundred KiB each: evictions come into play.
TEST(IndexCacheTest, AnEvictingCacheAgreesToo) {
  RunDifferential(1, 0xcafe, 500, 80000);
}

}  // namespace
}  // namespace pigeonbox
