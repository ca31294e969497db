// Every store operation with each of its file-system calls failing in turn.
//
// For each operation and each error (a full disk, an I/O error, no descriptor left), the n-th
// call of the operation fails, for n = 1, 2, ... until the operation completes without meeting
// the fault. After each run the store, opened afresh without faults, must hold every message
// that was there before and was not deliberately removed; every index entry must lie inside its
// text file and decompress; and no owner may be left with a text file but no index, nor with an
// index whose entries lost their text file. The operation runs in a store whose index cache
// holds every owner's parsed files, as a running server's would.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <set>

#include "base/clock.h"
#include "base/text.h"
#include "store/offmsg_store_mgr.h"
#include "store/store_inspect.h"
#include "store/store_walk.h"
#include "testutil/store/faulty_file_system.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

constexpr int64_t kNow = 1'700'000'000;

struct Stored {
  std::u16string owner;
  bool group;
  std::u16string msgId;
  std::u16string text;
};

// The store before every run: two parts of one message, a second message and a group message
// for alice; one message for bob.
const Stored kBefore[] = {
    {u"alice", false, u"m1", u"first part of m1"}, {u"alice", false, u"m1", u"second part of m1"},
    {u"alice", false, u"m2", u"message two"},      {u"alice", true, u"g1", u"a group message"},
    {u"bob", false, u"b1", u"bob's only message"},
};

IndexRecord RecordOf(const Stored& m, int32_t createTime) {
  IndexRecord r;
  r.CreateTime = createTime;
  r.Type = u"Quorvel.KVT.IM";
  r.Sender = u"sender";
  r.Reciever = m.owner;
  r.Title = u"title";
  r.MsgID = m.msgId;
  return r;
}

// One operation under test: what it does, and which stored messages it removes on purpose (by
// owner and MsgID; those may or may not remain after a fault).
struct Operation {
  const char* name;
  std::function<void(OffMsgStoreMgr&, FileSystem&, const std::string& root)> run;
  std::set<std::pair<std::u16string, std::u16string>> removes;
};

const Stored kAdded[] = {{u"alice", false, u"m3", u"added to an existing pair"},
                         {u"carol", false, u"c1", u"the first message of a new owner"},
                         {u"carol", true, u"c2", u"the first group message of a new owner"}};

// Fetches the parts of a MsgID and deletes exactly those, as a destructive fetch does.
void FetchAndDeleteParts(OffMsgStoreMgr& mgr, std::u16string_view owner,
                         std::u16string_view msgId) {
  std::vector<TextRecord> parts;
  mgr.GetOffMsgTxt(owner, msgId, &parts);
  std::vector<StoredPartKey> keys;
  for (const TextRecord& part : parts) keys.push_back(part.Key);
  mgr.DelOffMsgParts(owner, msgId, keys);
}

std::vector<Operation> Operations() {
  return {
      {"add",
       [](OffMsgStoreMgr& mgr, FileSystem&, const std::string&) {
         for (const Stored& m : kAdded) {
           m.group ? mgr.AddDisGroupOffMsg(m.owner, m.text, RecordOf(m, kNow))
                   : mgr.AddOffMsg(m.owner, m.text, RecordOf(m, kNow));
         }
       },
       {}},
      {"delete",
       [](OffMsgStoreMgr& mgr, FileSystem&, const std::string&) {
         mgr.DelOffMsg(u"alice", u"m1");
         mgr.DelOffMsg(u"bob", u"b1");  // bob's last message: his files go
       },
       {{u"alice", u"m1"}, {u"bob", u"b1"}}},
      {"fetch and delete the parts fetched",
       [](OffMsgStoreMgr& mgr, FileSystem&, const std::string&) {
         FetchAndDeleteParts(mgr, u"alice", u"m1");
         FetchAndDeleteParts(mgr, u"alice", u"g1");  // the last group message
         FetchAndDeleteParts(mgr, u"bob", u"b1");
       },
       {{u"alice", u"m1"}, {u"alice", u"g1"}, {u"bob", u"b1"}}},
      {"delete by time",
       [](OffMsgStoreMgr& mgr, FileSystem&, const std::string&) {
         mgr.DelOffMsgByTime(u"alice", u"m1", 100, ~0u, 0, 0);  // the first part of m1
         mgr.DelOffMsgByTime(u"alice", u"g1", 0, 0, ~0u, ~0u);  // the last group message
       },
       {{u"alice", u"m1"}, {u"alice", u"g1"}}},
      {"fetch",
       [](OffMsgStoreMgr& mgr, FileSystem&, const std::string&) {
         std::vector<TextRecord> parts;
         mgr.GetOffMsgTxt(u"alice", u"m1", &parts);
         mgr.GetOffMsgTxtSince(u"alice", u"g1", 0, &parts);
       },
       {}},
      {"purge",  // what pigeonbox-admin purge does with an owner's pairs
       [](OffMsgStoreMgr& mgr, FileSystem&, const std::string&) {
         mgr.DelUserOffMsgFiles(u"alice");
         mgr.DelDisGroupOffMsgFiles(u"alice");
       },
       {{u"alice", u"m1"}, {u"alice", u"m2"}, {u"alice", u"g1"}}},
      {"sweep",  // what the invalid-user sweep does for a user who left
       [](OffMsgStoreMgr& mgr, FileSystem& fs, const std::string& root) {
         WalkStoreFiles(fs, root + "OffMsg/", [&](const std::string& dir, const std::string& name) {
           const std::u16string user = OwnerOfStoreFile(name);
           if (user != u"alice") return;
           const OwnerLock lock = mgr.LockOwner(user);
           RemoveWalkedStoreFile(fs, dir + name);
           mgr.ForgetCachedOwner(lock, user);
         });
       },
       {{u"alice", u"m1"}, {u"alice", u"m2"}, {u"alice", u"g1"}}},
  };
}

std::u16string TextOf(const TextRecord& part) {
  std::u16string text;
  std::string problem;
  std::string_view block(reinterpret_cast<const char*>(part.Data.data()), part.Data.size());
  return DecodeTextBlock(block, &text, &problem) ? text
                                                 : u"(undecodable: " + FromUtf8(problem) + u")";
}

// One store directory for all runs of an operation; every run starts from kBefore.
class MatrixStore {
 public:
  MatrixStore() : faulty_(posix_), clock_(kNow) {
    StoreSettings uncached;  // it changes the files behind the faulty store's back
    uncached.indexCacheMB = 0;
    plain_ = std::make_unique<OffMsgStoreMgr>(dir_.path(), uncached, posix_, log_, clock_);
    plain_->InitStores();
  }

  // A fresh store, the operation with its n-th call failing, then the checks (reported with
  // `where`). Returns whether the fault was met.
  bool Run(const Operation& op, int error, int64_t n, const std::string& where) {
    // The last run's store goes before the files it keeps open are replaced behind its back.
    faultyMgr_.reset();
    Reset();
    // A store started afresh on the files, its cache then filled by reads.
    StoreSettings synced;
    synced.syncWrites = true;  // the syncs are calls that can fail too
    faultyMgr_ = std::make_unique<OffMsgStoreMgr>(dir_.path(), synced, faulty_, log_, clock_);
    faultyMgr_->InitStores();
    for (const Stored& m : kBefore) {
      std::vector<TextRecord> parts;
      faultyMgr_->GetOffMsgTxt(m.owner, m.msgId, &parts);
      faultyMgr_->GetAllOffMsgSum(m.owner);
    }
    faulty_.FailNthCall(n, error);
    op.run(*faultyMgr_, faulty_, dir_.path());
    const bool hit = faulty_.NthCallFailed();
    faulty_.Clear();
    Check(op, where);
    return hit;
  }

 private:
  // Removes every file of the store (the directories stay) and stores kBefore again.
  void Reset() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path() + "OffMsg"))
      if (!entry.is_directory()) files.push_back(entry.path());
    for (const auto& file : files) std::filesystem::remove(file);
    std::filesystem::remove(dir_.path() + "OffMsg/.shrink");
    int32_t time = 100;
    for (const Stored& m : kBefore) {
      const IndexRecord record = RecordOf(m, time++);
      ASSERT_EQ(m.group ? plain_->AddDisGroupOffMsg(m.owner, m.text, record)
                        : plain_->AddOffMsg(m.owner, m.text, record),
                0);
    }
  }

  void Check(const Operation& op, const std::string& where) {
    // Opened afresh, as a restarted server would, which also finishes an interrupted shrink.
    OffMsgStoreMgr after(dir_.path(), StoreSettings{}, posix_, log_, clock_);
    after.InitStores();
    for (const Stored& m : kBefore) {
      if (op.removes.count({m.owner, m.msgId})) continue;
      std::vector<TextRecord> parts;
      after.GetOffMsgTxt(m.owner, m.msgId, &parts);
      bool found = false;
      for (const TextRecord& part : parts) found = found || TextOf(part) == m.text;
      EXPECT_TRUE(found) << where << ": lost \"" << ToUtf8(m.text) << "\" of " << ToUtf8(m.owner);
    }
    StoreInspection inspection = InspectStore(posix_, *after.paths());
    for (const StoreDamage& damage : inspection.damage)
      ADD_FAILURE() << where << ": " << damage.file << ": " << damage.problem;
    EXPECT_EQ(inspection.orphanTextFiles, 0) << where << ": a text file without its index";
    EXPECT_EQ(inspection.setAsideFiles, 0) << where << ": a pair was set aside";
    // Nothing of an interrupted shrink outlives the start: no temporary pair, no journal entry.
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(dir_.path() + "OffMsg")) {
      const std::string path = entry.path().string();
      EXPECT_FALSE(path.find("~shrink") != std::string::npos ||
                   (path.find("/.shrink/") != std::string::npos && entry.is_regular_file()))
          << where << ": " << path << " left behind by a shrink";
    }
  }

  testutil::TempDir dir_;
  PosixFileSystem posix_;
  FaultyFileSystem faulty_;
  LogFile log_;  // never opened: writes nothing
  ManualClock clock_;
  std::unique_ptr<OffMsgStoreMgr> plain_, faultyMgr_;
};

// Runs every n for each error; returns the number of runs.
int64_t RunMatrix(const Operation& op) {
  MatrixStore store;
  int64_t runs = 0;
  for (int error : {ENOSPC, EIO, EMFILE}) {
    for (int64_t n = 1;; ++n) {
      const std::string where = std::string(op.name) + ", call " + std::to_string(n) +
                                " failing with " + std::strerror(error);
      ++runs;
      if (!store.Run(op, error, n, where)) break;
      if (::testing::Test::HasFailure() || n == 1000) return runs;  // one report is enough
    }
  }
  return runs;
}

TEST(StoreFaultMatrixTest, NoOperationLosesOrTearsDataWhereverItsCallsFail) {
  int64_t total = 0;
  for (const Operation& op : Operations()) {
    const int64_t runs = RunMatrix(op);
    std::cout << op.name << ": " << runs << " runs\n";
    total += runs;
  }
  std::cout << "fault matrix: " << total << " runs\n";
  RecordProperty("runs", std::to_string(total));
}

// The shrink rewrites an owner's pair: once keeping every part, once dropping the expired ones
// (both parts of m1 are older than the maximum age; every group part is).
TEST(StoreFaultMatrixTest, ShrinkLosesOrTearsNothingWhereverItsCallsFail) {
  const Operation shrinks[] = {
      {"shrink keeping every part",
       [](OffMsgStoreMgr& mgr, FileSystem&, const std::string&) {
         mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, 4e9);
         mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kGroupKind, 4e9);
       },
       {}},
      {"shrink dropping expired parts",
       [](OffMsgStoreMgr& mgr, FileSystem&, const std::string&) {
         mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kPersonKind, kNow - 101.5);
         mgr.ShrinkOffMsgFile(u"alice", OffMsgStoreMgr::kGroupKind, 0);
       },
       {{u"alice", u"m1"}, {u"alice", u"g1"}}},
  };
  int64_t runs = 0;
  for (const Operation& shrink : shrinks) {
    const int64_t opRuns = RunMatrix(shrink);
    std::cout << shrink.name << ": " << opRuns << " runs\n";
    runs += opRuns;
  }
  std::cout << "shrink fault matrix: " << runs << " runs\n";
  RecordProperty("runs", std::to_string(runs));
}

}  // namespace
}  // namespace pigeonbox
