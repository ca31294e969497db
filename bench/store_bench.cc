// The offline-message store beside SQLite, and the index save methods beside a plain overwrite.
//
//   store_bench [--quick] [--set=all|store|save-methods] [--only=W,...] [--owners=N]
//               [--no-peer] [--sqlite-cache-mib=N] [--dir=PATH] [--keep]
//
// Set "store": named workloads on the store manager over many owners (add while the indexes
// fill, add at the owner limit, count, list, fetch, fetch+delete, shrink), each followed by the
// same operations on SQLite in the same process; the last column is the store's throughput
// divided by SQLite's. Set "save-methods": the ways of saving a 30 KB index file crash-safely,
// beside overwriting it in place. Every operation's result is checked (untimed); a failed check
// marks the workload FAILED and the exit code 1.
//
// --only runs the named store workloads (add, count, list, fetch, fetch-delete, shrink) after the
// fill, which always runs as it sets up the owners; handy under a profiler.
//
// Work happens below a new temporary directory ($TMPDIR or /tmp), removed at the end.
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "bench/sqlite_peer.h"
#include "bench/store_bench_support.h"
#include "bench/store_corpus.h"
#include "bench/workload_driver.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/offmsg_store_mgr.h"
#include "store/safe_save.h"

namespace pigeonbox::bench {
namespace {

constexpr uint64_t kSeed = 0x5EED0FF1CE;
constexpr int kTextCount = 512;
constexpr int kMessagesPerOwner = 100;
// A maximum age that keeps every stored message (ten years).
constexpr double kKeepAllSeconds = 10 * 365.0 * 86400;

struct Options {
  bool quick = false;
  bool storeSet = true;
  bool saveSet = true;
  bool peer = true;
  bool keep = false;
  int owners = 1000;
  int sqliteCacheMiB = 0;  // 0: SQLite's default page cache
  std::string dir;
  std::string only;  // comma-separated workload keys; empty: all
  // Operations per workload.
  size_t steadyAdds = 20000;
  size_t counts = 20000;
  size_t lists = 10000;
  size_t fetches = 20000;
  size_t fetchDeletes = 20000;
  size_t shrinkOwners = 1000;
  size_t savePasses = 3;  // each pass saves every file once
};

bool ParseOptions(int argc, char** argv, Options* options) {
  bool ownersGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&](std::string_view flag) -> std::optional<std::string> {
      if (arg.substr(0, flag.size()) != flag) return std::nullopt;
      return std::string(arg.substr(flag.size()));
    };
    if (arg == "--quick") {
      options->quick = true;
    } else if (arg == "--no-peer") {
      options->peer = false;
    } else if (arg == "--keep") {
      options->keep = true;
    } else if (auto set = value("--set=")) {
      options->storeSet = *set == "all" || *set == "store";
      options->saveSet = *set == "all" || *set == "save-methods";
      if (!options->storeSet && !options->saveSet) return false;
    } else if (auto owners = value("--owners=")) {
      options->owners = std::max(1, std::atoi(owners->c_str()));
      ownersGiven = true;
    } else if (auto cache = value("--sqlite-cache-mib=")) {
      options->sqliteCacheMiB = std::max(0, std::atoi(cache->c_str()));
    } else if (auto only = value("--only=")) {
      options->only = "," + *only + ",";
    } else if (auto dir = value("--dir=")) {
      options->dir = *dir;
    } else if (arg.substr(0, 12) == "--benchmark_") {
      std::fprintf(stderr, "ignoring %s (not a Google Benchmark binary)\n", argv[i]);
    } else {
      return false;
    }
  }
  if (options->quick) {
    if (!ownersGiven) options->owners = 200;
    options->steadyAdds = 4000;
    options->counts = 5000;
    options->lists = 2000;
    options->fetches = 5000;
    options->fetchDeletes = 4000;
    options->shrinkOwners = 50;
    options->savePasses = 1;
  }
  options->shrinkOwners = std::min(options->shrinkOwners, static_cast<size_t>(options->owners));
  return true;
}

// Which messages each owner holds, as the owner limit of the store leaves them (oldest first).
class Model {
 public:
  Model(int owners, int maxCount) : live_(static_cast<size_t>(owners)), maxCount_(maxCount) {}

  // The store's trim: at the limit one entry goes, beyond it the excess, then one is appended.
  void Add(size_t owner, uint64_t seq) {
    std::deque<uint64_t>& q = live_[owner];
    const size_t n = q.size();
    const size_t m = static_cast<size_t>(maxCount_);
    size_t remove = n < m ? 0 : n == m ? 1 : n - m;
    q.erase(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(remove));
    q.push_back(seq);
  }
  void Remove(size_t owner, size_t position) {
    live_[owner].erase(live_[owner].begin() + static_cast<std::ptrdiff_t>(position));
  }
  const std::deque<uint64_t>& Of(size_t owner) const { return live_[owner]; }
  int maxCount() const { return maxCount_; }

 private:
  std::vector<std::deque<uint64_t>> live_;
  int maxCount_;
};

// One planned operation: an owner and, where the operation names one, a message.
struct Step {
  size_t owner = 0;
  uint64_t seq = 0;
  std::u16string msgId;
};

class StoreBench {
 public:
  StoreBench(const Options& options, const std::string& root, const StoreCorpus& corpus,
             int32_t now)
      : options_(options),
        root_(root),
        corpus_(corpus),
        now_(now),
        model_(options.owners, StoreSettings{}.storeMaxCount),
        rng_(kSeed ^ 0xB0B),
        table_("vs SQLite") {}

  // False when the store or the peer could not be set up.
  bool Open();
  // Runs every workload; false when one failed.
  bool Run();

 private:
  using Op = std::function<std::string(size_t)>;

  // Runs the store's workload, then the peer's, and prints both rows.
  void Compare(const std::string& name, size_t ops, Op store, Op storeCheck, Op peer, Op peerCheck);
  const std::u16string& OwnerName(size_t owner) const { return corpus_.owners()[owner]; }
  std::string CheckText(uint64_t seq, const std::vector<TextRecord>& list, size_t wanted);
  std::string CheckCounts(const char* when);
  // Bytes on disk of both stores, as a line of text.
  std::string DiskUse() const;

  void CompareAdds(const std::string& name, const std::vector<Step>& plan,
                   const std::vector<IndexRecord>& records);
  void AddFill();
  void AddSteady();
  void Count();
  void List();
  void Fetch();
  void FetchDelete();
  void Shrink();

  std::vector<Step> PlanFetches(size_t ops);

  const Options& options_;
  const std::string root_;
  const StoreCorpus& corpus_;
  const int32_t now_;
  Model model_;
  std::mt19937_64 rng_;
  uint64_t nextSeq_ = 0;
  ResultTable table_;
  bool failed_ = false;

  PosixFileSystem fs_;
  LogFile log_;
  std::unique_ptr<OffMsgStoreMgr> store_;
  std::unique_ptr<SqlitePeer> peer_;

  // Scratch of the operations, kept across them as a server thread would.
  std::vector<TextRecord> texts_;
  std::vector<IndexRecord> records_;
  uint8_t part_[kPartBufferBytes];
  uint32_t partLength_ = 0;
};

bool StoreBench::Open() {
  log_.Open(root_ + "Logs", "Pigeonbox.log");
  store_ = std::make_unique<OffMsgStoreMgr>(root_, StoreSettings{}, fs_, log_);
  store_->InitStores();
  if (!options_.peer) return true;
  peer_ = std::make_unique<SqlitePeer>(root_ + "peer.sqlite", options_.sqliteCacheMiB);
  if (!peer_->error().empty()) {
    std::fprintf(stderr, "SQLite peer: %s\n", peer_->error().c_str());
    return false;
  }
  return true;
}

void StoreBench::Compare(const std::string& name, size_t ops, Op store, Op storeCheck, Op peer,
                         Op peerCheck) {
  Settle();
  WorkloadResult mine = RunWorkload(name, "pigeonbox", ops, store, storeCheck);
  double ratio = 0;
  std::optional<WorkloadResult> theirs;
  if (peer_) {
    Settle();
    theirs = RunWorkload(name, "sqlite", ops, peer, peerCheck);
    if (theirs->OpsPerSecond() > 0) ratio = mine.OpsPerSecond() / theirs->OpsPerSecond();
  }
  table_.PrintRow(mine, ratio);
  if (theirs) table_.PrintRow(*theirs, 0);
  failed_ = failed_ || mine.failures > 0 || (theirs && theirs->failures > 0);
}

std::string StoreBench::CheckText(uint64_t seq, const std::vector<TextRecord>& list,
                                  size_t wanted) {
  if (list.size() != wanted) {
    return "got " + std::to_string(list.size()) + " text records, expected " +
           std::to_string(wanted);
  }
  std::string_view expected = StoredBytes(corpus_.TextOf(seq));
  if (std::string_view(reinterpret_cast<const char*>(part_), partLength_) != expected) {
    return "decompressed text differs from the stored one";
  }
  if (list[0].CreateTime != corpus_.RecordOf(seq, u"").CreateTime) return "wrong CreateTime";
  return {};
}

// Every owner's count in both stores against the model.
std::string StoreBench::CheckCounts(const char* when) {
  for (size_t owner = 0; owner < static_cast<size_t>(options_.owners); ++owner) {
    const int expected = static_cast<int>(model_.Of(owner).size());
    const int mine = store_->GetOffMsgSum(OwnerName(owner));
    // An owner whose last message went has no index file: the count reports -2.
    if (mine != expected && !(expected == 0 && mine < 0)) {
      return std::string(when) + ": store count " + std::to_string(mine) + " for " +
             ToUtf8(OwnerName(owner)) + ", expected " + std::to_string(expected);
    }
    if (peer_ && peer_->Count(OwnerName(owner)) != expected) {
      return std::string(when) + ": SQLite count differs for " + ToUtf8(OwnerName(owner));
    }
  }
  return {};
}

// Times the same adds on the store and on the peer, then records them in the model.
void StoreBench::CompareAdds(const std::string& name, const std::vector<Step>& plan,
                             const std::vector<IndexRecord>& records) {
  const int maxCount = model_.maxCount();
  auto none = [](size_t) { return std::string(); };
  Compare(
      name, plan.size(),
      [&](size_t i) {
        int rc =
            store_->AddOffMsg(OwnerName(plan[i].owner), corpus_.TextOf(plan[i].seq), records[i]);
        return rc == 0 ? std::string() : "AddOffMsg " + std::to_string(rc);
      },
      none,
      [&](size_t i) {
        bool ok =
            peer_->Add(OwnerName(plan[i].owner), corpus_.TextOf(plan[i].seq), records[i], maxCount);
        return ok ? std::string() : peer_->error();
      },
      none);
  for (const Step& step : plan) model_.Add(step.owner, step.seq);
}

void StoreBench::AddFill() {
  // Rounds over all owners in a shuffled order, until each was sent kMessagesPerOwner messages.
  std::vector<Step> plan;
  std::vector<size_t> order(static_cast<size_t>(options_.owners));
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (int round = 0; round < kMessagesPerOwner; ++round) {
    std::shuffle(order.begin(), order.end(), rng_);
    for (size_t owner : order) plan.push_back({owner, nextSeq_++, {}});
  }
  std::vector<IndexRecord> records;
  records.reserve(plan.size());
  for (const Step& step : plan)
    records.push_back(corpus_.RecordOf(step.seq, OwnerName(step.owner)));
  CompareAdds("add, fill 0->100 per owner", plan, records);
}

void StoreBench::AddSteady() {
  std::vector<Step> plan(options_.steadyAdds);
  std::vector<IndexRecord> records;
  for (Step& step : plan) {
    step.owner = rng_() % static_cast<size_t>(options_.owners);
    step.seq = nextSeq_++;
    records.push_back(corpus_.RecordOf(step.seq, OwnerName(step.owner)));
  }
  CompareAdds("add, at the limit (99)", plan, records);
}

void StoreBench::Count() {
  std::vector<size_t> plan(options_.counts);
  for (size_t& owner : plan) owner = rng_() % static_cast<size_t>(options_.owners);
  int got = 0;
  auto check = [&](size_t i) {
    int expected = static_cast<int>(model_.Of(plan[i]).size());
    return got == expected
               ? std::string()
               : "count " + std::to_string(got) + ", expected " + std::to_string(expected);
  };
  Compare(
      "count", plan.size(),
      [&](size_t i) {
        got = store_->GetOffMsgSum(OwnerName(plan[i]));
        return std::string();
      },
      check,
      [&](size_t i) {
        got = peer_->Count(OwnerName(plan[i]));
        return got >= 0 ? std::string() : peer_->error();
      },
      check);
}

void StoreBench::List() {
  std::vector<size_t> plan(options_.lists);
  for (size_t& owner : plan) owner = rng_() % static_cast<size_t>(options_.owners);
  auto check = [&](size_t i) -> std::string {
    const std::deque<uint64_t>& live = model_.Of(plan[i]);
    if (records_.size() != live.size()) {
      return "listed " + std::to_string(records_.size()) + ", expected " +
             std::to_string(live.size());
    }
    if (live.empty()) return {};
    for (size_t k : {size_t{0}, live.size() / 2, live.size() - 1}) {
      IndexRecord expected = corpus_.RecordOf(live[k], OwnerName(plan[i]));
      const IndexRecord& got = records_[k];
      if (got.MsgID != expected.MsgID || got.Title != expected.Title ||
          got.CreateTime != expected.CreateTime || got.Sender != expected.Sender ||
          got.SessionDescription != expected.SessionDescription) {
        return "record " + std::to_string(k) + " differs (MsgID " + ToUtf8(got.MsgID) + ")";
      }
    }
    return {};
  };
  Compare(
      "list (99 entries)", plan.size(),
      [&](size_t i) {
        records_.clear();
        int rc = store_->GetOffMsgIndex(OwnerName(plan[i]), &records_);
        return rc == 0 ? std::string() : "GetOffMsgIndex " + std::to_string(rc);
      },
      check,
      [&](size_t i) {
        records_.clear();
        return peer_->List(OwnerName(plan[i]), &records_) ? std::string() : peer_->error();
      },
      check);
}

std::vector<Step> StoreBench::PlanFetches(size_t ops) {
  std::vector<Step> plan(ops);
  for (Step& step : plan) {
    do {
      step.owner = rng_() % static_cast<size_t>(options_.owners);
    } while (model_.Of(step.owner).empty());
    const std::deque<uint64_t>& live = model_.Of(step.owner);
    step.seq = live[rng_() % live.size()];
    step.msgId = corpus_.MsgIdOf(step.seq);
  }
  return plan;
}

void StoreBench::Fetch() {
  std::vector<Step> plan = PlanFetches(options_.fetches);
  auto check = [&](size_t i) { return CheckText(plan[i].seq, texts_, 1); };
  Compare(
      "fetch + decompress", plan.size(),
      [&](size_t i) {
        texts_.clear();
        store_->GetOffMsgTxt(OwnerName(plan[i].owner), plan[i].msgId, &texts_);
        if (texts_.empty()) return std::string("no text found");
        return Decompress(texts_[0].Data, part_, &partLength_);
      },
      check,
      [&](size_t i) {
        texts_.clear();
        if (!peer_->Fetch(OwnerName(plan[i].owner), plan[i].msgId, &texts_)) return peer_->error();
        if (texts_.empty()) return std::string("no text found");
        return Decompress(texts_[0].Data, part_, &partLength_);
      },
      check);
}

void StoreBench::FetchDelete() {
  // Each step deletes a different live message; the plan is drawn on a copy of the model.
  Model after = model_;
  // At most half of the stored messages go, so the shrink still finds owners with messages.
  size_t stored = 0;
  for (size_t owner = 0; owner < static_cast<size_t>(options_.owners); ++owner) {
    stored += model_.Of(owner).size();
  }
  std::vector<Step> plan(std::min(options_.fetchDeletes, stored / 2));
  for (Step& step : plan) {
    do {
      step.owner = rng_() % static_cast<size_t>(options_.owners);
    } while (after.Of(step.owner).empty());
    const size_t position = rng_() % after.Of(step.owner).size();
    step.seq = after.Of(step.owner)[position];
    step.msgId = corpus_.MsgIdOf(step.seq);
    after.Remove(step.owner, position);
  }
  auto check = [&](size_t i) { return CheckText(plan[i].seq, texts_, 1); };
  Compare(
      "fetch + decompress + delete", plan.size(),
      [&](size_t i) {
        texts_.clear();
        const std::u16string& owner = OwnerName(plan[i].owner);
        store_->GetOffMsgTxt(owner, plan[i].msgId, &texts_);
        if (texts_.empty()) return std::string("no text found");
        std::string error = Decompress(texts_[0].Data, part_, &partLength_);
        if (!error.empty()) return error;
        int rc = store_->DelOffMsg(owner, plan[i].msgId);
        return rc == 0 ? std::string() : "DelOffMsg " + std::to_string(rc);
      },
      check,
      [&](size_t i) {
        texts_.clear();
        if (!peer_->FetchAndDelete(OwnerName(plan[i].owner), plan[i].msgId, &texts_)) {
          return peer_->error();
        }
        if (texts_.empty()) return std::string("no text found");
        return Decompress(texts_[0].Data, part_, &partLength_);
      },
      check);
  model_ = std::move(after);
}

void StoreBench::Shrink() {
  std::vector<size_t> plan(static_cast<size_t>(options_.owners));
  for (size_t i = 0; i < plan.size(); ++i) plan[i] = i;
  std::shuffle(plan.begin(), plan.end(), rng_);
  plan.resize(options_.shrinkOwners);
  auto countCheck = [&](int got, size_t i) {
    int expected = static_cast<int>(model_.Of(plan[i]).size());
    return got == expected ? std::string()
                           : "count after shrink " + std::to_string(got) + ", expected " +
                                 std::to_string(expected);
  };
  Compare(
      "shrink (keeps all)", plan.size(),
      [&](size_t i) {
        int rc = store_->ShrinkOffMsgFile(OwnerName(plan[i]), OffMsgStoreMgr::kPersonKind,
                                          kKeepAllSeconds);
        return rc == 0 ? std::string() : "ShrinkOffMsgFile " + std::to_string(rc);
      },
      [&](size_t i) { return countCheck(store_->GetOffMsgSum(OwnerName(plan[i])), i); },
      [&](size_t i) {
        int32_t oldestKept = now_ - static_cast<int32_t>(kKeepAllSeconds);
        return peer_->Expire(OwnerName(plan[i]), oldestKept) ? std::string() : peer_->error();
      },
      [&](size_t i) { return countCheck(peer_->Count(OwnerName(plan[i])), i); });
}

std::string StoreBench::DiskUse() const {
  auto megabytes = [](uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return std::string(text);
  };
  const std::filesystem::path root(root_);
  std::string text = "store " + megabytes(DirectoryBytes(root / "OffMsg")) +
                     " (index and text files, scratch copies and shrink backups included)";
  if (peer_) {
    uint64_t peerBytes = 0;
    for (const char* name : {"peer.sqlite", "peer.sqlite-wal"}) {
      std::error_code ec;
      uint64_t size = std::filesystem::file_size(root / name, ec);
      if (!ec) peerBytes += size;
    }
    text += ", SQLite " + megabytes(peerBytes) + " (database and WAL)";
  }
  return text;
}

bool StoreBench::Run() {
  std::printf(
      "\n## store: %d owners, %d messages sent to each while filling, owner limit %d\n"
      "   'add, at the limit': every owner's index already holds its limit of %d entries\n"
      "   (~30 KB), so each add trims the oldest entry and appends one -- the steady state.\n"
      "   The peer's add is INSERT plus DELETE of the user's oldest rows beyond the limit,\n"
      "   in one transaction; its shrink is a DELETE of expired rows (none here): SQLite\n"
      "   reuses freed pages itself and rewrites nothing, so that row is not like for like.\n\n",
      options_.owners, kMessagesPerOwner, model_.maxCount(), model_.maxCount());
  table_.PrintHeader();
  auto selected = [&](const char* key) {
    return options_.only.empty() ||
           options_.only.find("," + std::string(key) + ",") != std::string::npos;
  };
  AddFill();
  std::string error = CheckCounts("after filling");
  if (selected("add")) {
    AddSteady();
    if (error.empty()) error = CheckCounts("after adding at the limit");
  }
  const std::string diskAfterAdds = DiskUse();
  if (selected("count")) Count();
  if (selected("list")) List();
  if (selected("fetch")) Fetch();
  if (selected("fetch-delete")) {
    FetchDelete();
    if (error.empty()) error = CheckCounts("after fetch+delete");
  }
  if (selected("shrink") && options_.shrinkOwners > 0) {
    Shrink();
    if (error.empty()) error = CheckCounts("after shrink");
  }
  if (!error.empty()) {
    std::printf("  !! consistency check failed: %s\n", error.c_str());
    failed_ = true;
  }
  std::printf("\n   on disk after the adds: %s\n", diskAfterAdds.c_str());
  std::printf("   on disk at the end: %s\n", DiskUse().c_str());
  return !failed_;
}

// ---- save-methods ----------------------------------------------------------------------------

// A real index file of 99 entries, made by the store in a directory of its own.
std::string MakeIndexFile(const std::string& root, const StoreCorpus& corpus) {
  std::filesystem::create_directories(root);
  PosixFileSystem fs;
  LogFile log;
  log.Open(root + "Logs", "Pigeonbox.log");
  OffMsgStoreMgr store(root, StoreSettings{}, fs, log);
  store.InitStores();
  const std::u16string& owner = corpus.owners()[1];
  for (uint64_t seq = 0; seq < 99; ++seq) {
    store.AddOffMsg(owner, corpus.TextOf(seq), corpus.RecordOf(seq, owner));
  }
  std::string text;
  fs.ReadFile(*store.paths()->PersonIndexPath(owner), &text);
  return text;
}

bool RunSaveMethods(const Options& options, const std::string& root, const StoreCorpus& corpus) {
  const std::string index = MakeIndexFile(root + "IndexSource/", corpus);
  if (index.size() < 1000) {
    std::printf("  !! could not make an index file to save\n");
    return false;
  }
  // Two versions of the same size, saved in turn, so every save changes the file.
  std::string versions[2] = {index, index};
  size_t digit = versions[1].find("DataSum=\"") + 9;
  versions[1][digit] = versions[1][digit] == '9' ? '8' : '9';

  constexpr int kFiles = 1000;
  constexpr int kDirs = 50;
  const std::string dir = root + "SaveMethods/";
  PosixFileSystem fs;
  std::vector<std::string> paths;
  fs.MakeDir(dir);
  for (int d = 0; d < kDirs; ++d) fs.MakeDir(dir + std::to_string(d));
  for (int i = 0; i < kFiles; ++i) {
    paths.push_back(dir + std::to_string(i % kDirs) + "/owner" + std::to_string(i) + ".xml");
  }

  struct Method {
    const char* name;
    std::function<int(const std::string&, std::string_view)> save;
  };
  const Method methods[] = {
      {"overwrite in place*",
       [&](const std::string& p, std::string_view d) { return fs.OverwriteFile(p, d); }},
      {"O_TRUNC rewrite*",
       [&](const std::string& p, std::string_view d) { return fs.WriteFile(p, d); }},
      {"scratch+exchange",
       [&](const std::string& p, std::string_view d) {
         return SaveFileSafely(fs, p, d, false, SaveMethod::kScratchExchange);
       }},
      {"scratch+exchange, sync",
       [&](const std::string& p, std::string_view d) {
         return SaveFileSafely(fs, p, d, true, SaveMethod::kScratchExchange);
       }},
      {"temp+rename",
       [&](const std::string& p, std::string_view d) {
         return SaveFileSafely(fs, p, d, false, SaveMethod::kTempRename);
       }},
  };

  std::printf(
      "\n## save-methods: a %zu-byte index file saved over %d files in %d directories,\n"
      "   %zu saves per method after one untimed pass; * = not crash-safe (reference only).\n"
      "   'scratch+exchange' is the store's default; the last column is ops/s relative to\n"
      "   overwriting in place.\n\n",
      index.size(), kFiles, kDirs, options.savePasses * kFiles);
  ResultTable table("vs in-place");
  table.PrintHeader();
  bool ok = true;
  double baseline = 0;
  for (const Method& method : methods) {
    for (int i = 0; i < kFiles; ++i) method.save(paths[static_cast<size_t>(i)], versions[0]);
    Settle();
    const size_t ops = options.savePasses * kFiles;
    WorkloadResult result = RunWorkload(
        "save 30 KB index", method.name, ops,
        [&](size_t i) {
          int rc = method.save(paths[i % kFiles], versions[(i / kFiles + 1) % 2]);
          return rc == 0 ? std::string() : "save failed, errno " + std::to_string(rc);
        },
        [](size_t) { return std::string(); });
    // Each file must now hold the version of the last pass.
    const std::string& last = versions[options.savePasses % 2];
    for (int i = 0; i < kFiles && result.failures == 0; ++i) {
      std::string text;
      if (fs.ReadFile(paths[static_cast<size_t>(i)], &text) != 0 || text != last) {
        result.failures = 1;
        result.firstFailure = paths[static_cast<size_t>(i)] + " does not hold the last save";
      }
    }
    if (baseline == 0) baseline = result.OpsPerSecond();
    table.PrintRow(result, baseline > 0 ? result.OpsPerSecond() / baseline : 0);
    ok = ok && result.failures == 0;
  }
  return ok;
}

int Main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: store_bench [--quick] [--set=all|store|save-methods] [--only=W,...] "
                 "[--owners=N] [--no-peer] [--sqlite-cache-mib=N] [--dir=PATH] [--keep]\n");
    return 2;
  }
  std::string work = MakeWorkDir(options.dir, "pigeonbox-storebench");
  if (work.empty()) {
    std::perror("mkdtemp");
    return 1;
  }
  if (work.back() != '/') work += '/';

  // glibc gives the top of the heap back to the kernel whenever more than 128 KB lie free there.
  // SQLite frees a temporary b-tree's pages after every trimming statement, and depending on
  // the heap's layout each add then paid a brk shrink and regrowth (a TLB flush and page faults,
  // several hundred microseconds on this virtual machine). A long-running process keeps its heap;
  // so does this one, for both sides alike.
  mallopt(M_TRIM_THRESHOLD, 256 << 20);

  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  const StoreCorpus corpus(kSeed, options.owners, kTextCount, now - 30 * 86400);
  std::printf("# Pigeonbox store benchmark%s\n", options.quick ? " (quick)" : "");
  std::printf("work dir %s; SQLite %s; load average %s; %ld cores\n", work.c_str(),
              SqlitePeer::Version(), LoadAverage().c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
  std::printf(
      "texts: %d distinct data envelopes, 600-2000 bytes as UTF-16 (mean %.0f), %.1f %% CJK; "
      "seed %#llx; single thread; heap trimming off\n",
      kTextCount, corpus.MeanTextBytes(), 100 * corpus.CjkShare(),
      static_cast<unsigned long long>(kSeed));

  bool ok = true;
  if (options.storeSet) {
    std::string root = work + "StoreRoot/";
    std::filesystem::create_directories(root);
    StoreBench bench(options, root, corpus, now);
    if (!bench.Open()) return 1;
    ok = bench.Run() && ok;
  }
  if (options.saveSet) ok = RunSaveMethods(options, work + "SaveRoot/", corpus) && ok;
  std::printf("\nload average at the end %s\n", LoadAverage().c_str());

  if (!options.keep && options.dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
  }
  if (!ok) std::printf("\nSOME WORKLOADS FAILED (see !! lines)\n");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace pigeonbox::bench

int main(int argc, char** argv) {
  return pigeonbox::bench::Main(argc, argv);
}
