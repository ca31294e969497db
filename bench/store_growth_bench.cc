// How the store's costs grow with the entries per owner and with the number of owners, beside
// SQLite at the same sizes.
//
//   store_growth_bench [--quick] [--runs=N] [--owners=N,...] [--owners-axis-entries=N]
//                      [--entries-owners=N] [--sample=N] [--no-page-drop]
//                      [--sqlite-cache-mib=N] [--dir=PATH] [--keep]
//                      [--sets-dir=PATH] [--no-reuse]
//
// Each data set (owners x entries per owner, person or group) is filled in its own store root
// and SQLite file. The fill is setup, not measured work: every owner's files are written once,
// with the bytes the adds of its messages one after the other would leave (texts, index, and
// the scratch copy of the save before the last), and SQLite takes the same rows in one
// transaction. Sets of at least 10,000 owners are kept below --sets-dir (default
// $TMPDIR/pigeonbox-growthbench-sets) with a note of the owners adds have touched, and later
// runs measure the owners no add touched yet instead of filling and removing them again
// (--no-reuse: filled in the work directory and removed, as the small sets are).
// Then count, fetch + decompress and add are timed on three subjects: the
// store with its index cache (IndexCacheMB 64, the default), the store without it
// (IndexCacheMB 0, the store as it was before the cache) and SQLite. Each subject is timed
//   cold, pages dropped: first touch of each sampled owner after the store manager (or SQLite
//                        connection) was created, the sampled owners' files (SQLite: its whole
//                        file) dropped from the page cache first with POSIX_FADV_DONTNEED;
//   cold:                the same with those files read into the page cache first;
//   warm:                the cold owners again, several rounds, same manager / connection.
// Adds change the data, so every cold add pass of the store takes owners no earlier add touched.
// The uncached store never runs while a cached one is open: the descriptors the cached store
// keeps open would serve its reads too, which the store before the cache never had.
// With --runs=N every data set is measured N times and the tables give the medians; a set is
// filled again for a run only when it has no owners left that no add touched.
//
// A fresh process opens the largest owner set, and the set with the largest index files, with
// the default cache, lists every owner twice and reports its resident memory and the cache's
// figures (in the first run).
//
// Work happens below a new temporary directory ($TMPDIR or /tmp), removed at the end.
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/sqlite_peer.h"
#include "bench/store_bench_support.h"
#include "bench/store_corpus.h"
#include "bench/workload_driver.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/offmsg_store_mgr.h"
#include "store/safe_save.h"
#include "store/text_file_store.h"

namespace pigeonbox::bench {
namespace {

constexpr uint64_t kSeed = 0x6E0117;
constexpr int kTextCount = 512;
constexpr int kWarmRounds = 5;
constexpr int kColdRounds = 3;
// Sets with at least this many owners are kept between runs (see --sets-dir).
constexpr int kKeptSetOwners = 10000;
// Written into a kept set's state; a set of another format is filled again.
constexpr int kStateFormat = 1;

struct Options {
  bool quick = false;
  bool keep = false;
  bool pageDrop = true;
  bool reuse = true;  // large sets kept in setsDir between runs
  int runs = 1;
  std::vector<int> ownerCounts = {1000, 10000, 100000};
  int ownersAxisEntries = 1;  // entries per owner on the owners axis
  int entriesOwners = 1000;   // owners on the entries axis
  int sample = 250;           // owners per cold pass
  int sqliteCacheMiB = 0;
  std::string dir;
  std::string setsDir;
  std::string rssProbe;        // internal: the store root the memory probe opens
  bool rssProbeGroup = false;  // internal: the probe's owners are group owners
};

std::vector<int> ParseList(const std::string& text) {
  std::vector<int> values;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const int value = std::atoi(text.substr(start, end - start).c_str());
    if (value > 0) values.push_back(value);
    start = end + 1;
  }
  return values;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  bool entriesOwnersGiven = false, sampleGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&](std::string_view flag) -> std::optional<std::string> {
      if (arg.substr(0, flag.size()) != flag) return std::nullopt;
      return std::string(arg.substr(flag.size()));
    };
    if (arg == "--quick") {
      options->quick = true;
    } else if (arg == "--keep") {
      options->keep = true;
    } else if (arg == "--no-page-drop") {
      options->pageDrop = false;
    } else if (arg == "--no-reuse") {
      options->reuse = false;
    } else if (auto sets = value("--sets-dir=")) {
      options->setsDir = *sets;
    } else if (auto runs = value("--runs=")) {
      options->runs = std::max(1, std::atoi(runs->c_str()));
    } else if (auto owners = value("--owners=")) {
      options->ownerCounts = ParseList(*owners);
      if (options->ownerCounts.empty()) return false;
    } else if (auto entries = value("--owners-axis-entries=")) {
      options->ownersAxisEntries = std::max(1, std::atoi(entries->c_str()));
    } else if (auto owners = value("--entries-owners=")) {
      options->entriesOwners = std::max(4, std::atoi(owners->c_str()));
      entriesOwnersGiven = true;
    } else if (auto sample = value("--sample=")) {
      options->sample = std::max(1, std::atoi(sample->c_str()));
      sampleGiven = true;
    } else if (auto cache = value("--sqlite-cache-mib=")) {
      options->sqliteCacheMiB = std::max(0, std::atoi(cache->c_str()));
    } else if (auto dir = value("--dir=")) {
      options->dir = *dir;
    } else if (auto root = value("--rss-probe=")) {
      options->rssProbe = *root;
    } else if (arg == "--rss-probe-group") {
      options->rssProbeGroup = true;
    } else if (arg.substr(0, 12) == "--benchmark_") {
      std::fprintf(stderr, "ignoring %s (not a Google Benchmark binary)\n", argv[i]);
    } else {
      return false;
    }
  }
  if (options->quick) {
    if (!entriesOwnersGiven) options->entriesOwners = 400;
    if (!sampleGiven) options->sample = 100;
  }
  return true;
}

// ---- files and memory ------------------------------------------------------------------------

// Drops the files' pages from the page cache; dirty pages are written first, as only clean ones
// can be dropped. Other processes' files are left alone.
void DropPages(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
}

// Reads the files whole, so their pages are cached.
void ReadIntoPageCache(const std::vector<std::string>& paths) {
  std::vector<char> buffer(1 << 16);
  for (const std::string& path : paths) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
  }
}

// Share of the file's pages in the page cache (0 ... 1), or -1 when it cannot be told.
double ResidentShare(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  double share = -1;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) {
      const long page = ::sysconf(_SC_PAGESIZE);
      std::vector<unsigned char> pages((static_cast<size_t>(st.st_size) + page - 1) / page);
      if (::mincore(map, static_cast<size_t>(st.st_size), pages.data()) == 0) {
        size_t resident = 0;
        for (unsigned char p : pages) resident += p & 1;
        share = static_cast<double>(resident) / static_cast<double>(pages.size());
      }
      ::munmap(map, static_cast<size_t>(st.st_size));
    }
  }
  ::close(fd);
  return share;
}

// A "VmRSS"-style field of /proc/self/status in MiB, or -1.
double StatusMiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      return std::atof(line.c_str() + prefix.size()) / 1024.0;  // the field is in kB
    }
  }
  return -1;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// ---- the measurement -------------------------------------------------------------------------

struct DataSet {
  int owners = 0;
  int entries = 0;
  bool group = false;
  bool ownersAxis = false;

  std::string Label() const {
    return std::to_string(owners) + " owners x " + std::to_string(entries) +
           (group ? " group" : " person");
  }
  // A directory name.
  std::string Key() const {
    return std::string(group ? "group-" : "person-") + std::to_string(owners) + "x" +
           std::to_string(entries);
  }
};

enum class Subject { kCached, kUncached, kSqlite };
constexpr Subject kSubjects[] = {Subject::kCached, Subject::kUncached, Subject::kSqlite};
enum class Op { kCount, kFetch, kAdd };
constexpr Op kOps[] = {Op::kCount, Op::kFetch, Op::kAdd};
const char* OpName(Op op) {
  return op == Op::kCount ? "count" : op == Op::kFetch ? "fetch+decompress" : "add";
}
enum class State { kColdDropped, kCold, kWarm };
constexpr State kStates[] = {State::kColdDropped, State::kCold, State::kWarm};
const char* StateName(State state) {
  return state == State::kColdDropped ? "cold, pages dropped"
         : state == State::kCold      ? "cold"
                                      : "warm";
}

// Figures of all runs, by data set, operation, state and subject: microseconds per operation.
class Figures {
 public:
  void Add(const DataSet& set, Op op, State state, Subject subject, double us) {
    values_[Key(set, op, state, subject)].push_back(us);
  }
  // Median over the runs; 0 when never measured.
  double Get(const DataSet& set, Op op, State state, Subject subject) const {
    auto it = values_.find(Key(set, op, state, subject));
    return it == values_.end() ? 0 : Median(it->second);
  }
  void AddNote(const DataSet& set, const std::string& what, double value) {
    values_[set.Label() + "|" + what].push_back(value);
  }
  double Note(const DataSet& set, const std::string& what) const {
    auto it = values_.find(set.Label() + "|" + what);
    return it == values_.end() ? 0 : Median(it->second);
  }

 private:
  static std::string Key(const DataSet& set, Op op, State state, Subject subject) {
    return set.Label() + "|" + OpName(op) + "|" + StateName(state) + "|" +
           std::to_string(static_cast<int>(subject));
  }
  std::map<std::string, std::vector<double>> values_;
};

// One data set: fills it, times every operation on every subject, removes it.
class GrowthRun {
 public:
  // A `kept` set may be one an earlier run filled in `root` with the same seed (see Fill).
  GrowthRun(const Options& options, const StoreCorpus& corpus, const DataSet& set, std::string root,
            uint64_t seed, bool kept, Figures* figures)
      : options_(options),
        corpus_(corpus),
        set_(set),
        root_(std::move(root)),
        seed_(seed),
        kept_(kept),
        rng_(seed),
        figures_(figures),
        live_(static_cast<size_t>(set.owners)),
        k_(std::min<size_t>(static_cast<size_t>(options.sample), live_.size() / 4)) {}

  // Fills the store and SQLite, or takes up a kept set an earlier run filled whose untouched
  // owners suffice; false when that failed (reported with "!!").
  bool Fill();
  // Whether the data set still has owners for a measurement that no add has touched.
  bool CanMeasure() const { return (used_ + 4) * k_ <= live_.size(); }
  // Times every operation on every subject; false when an operation failed (reported with "!!").
  bool Measure();

 private:
  int Limit() const {
    return set_.group ? StoreSettings{}.storeDisGroupMaxCount : StoreSettings{}.storeMaxCount;
  }
  const std::u16string& Owner(size_t owner) const { return corpus_.owners()[owner]; }
  // A new manager (connection) for the subject, with nothing cached; the others stay open.
  void Open(Subject subject);
  // Makes the subject's open manager (connection) the one the operations use.
  void Use(Subject subject);
  void Close();
  // Which owner each message goes to, in the order they arrive: rounds over the owners in a
  // shuffled order, as messages arrive, so that SQLite's rows of one owner lie apart as they
  // would in service. Sets live_ and nextSeq_.
  std::vector<std::pair<size_t, uint64_t>> PlanFill();
  bool FillStore();
  // The block of message `seq`'s text, compressed once for every message sharing the text.
  const std::string& Compressed(uint64_t seq);
  bool FillSqlite(const std::vector<std::pair<size_t, uint64_t>>& arrivals);
  // A kept set's state: which owners adds have touched, and what the fill reported.
  std::string StatePath() const { return root_ + "growth-state"; }
  bool LoadState();
  void SaveState() const;
  std::vector<std::string> FilesOf(Subject subject, const std::vector<size_t>& owners);
  // Times `rounds` passes of the operation over the owners (shuffled each round).
  double Pass(Subject subject, Op op, const std::vector<size_t>& owners, int rounds);
  std::string Count(size_t owner);
  std::string Fetch(size_t owner, uint64_t seq);
  std::string Add(size_t owner);

  const Options& options_;
  const StoreCorpus& corpus_;
  const DataSet set_;
  const std::string root_;
  const uint64_t seed_;
  const bool kept_;
  std::mt19937_64 rng_;
  Figures* figures_;
  // The messages each owner holds, oldest first (the fill stays within the owner limit).
  std::vector<std::vector<uint64_t>> live_;
  const size_t k_;             // owners per pass
  std::vector<size_t> order_;  // the owners, shuffled once; measurements take slices in turn
  size_t used_ = 0;            // slices taken
  uint64_t nextSeq_ = 0;
  bool failed_ = false;
  double fillStoreSeconds_ = 0, fillSqliteSeconds_ = 0, storeMB_ = 0, sqliteMB_ = 0;

  PosixFileSystem fs_;
  LogFile log_;
  // The cached and the uncached store may be open together: they never write the same owner.
  std::unique_ptr<OffMsgStoreMgr> stores_[2];
  std::unique_ptr<SqlitePeer> peerSlot_;
  // What the operations use (see Use).
  OffMsgStoreMgr* store_ = nullptr;
  SqlitePeer* peer_ = nullptr;
  std::vector<TextRecord> texts_;
  std::map<const std::u16string*, std::string> compressed_;  // by text, see Compressed
  uint8_t part_[kPartBufferBytes];
  uint32_t partLength_ = 0;
};

void GrowthRun::Open(Subject subject) {
  if (subject == Subject::kSqlite) {
    peerSlot_.reset();
    peerSlot_ = std::make_unique<SqlitePeer>(root_ + "peer.sqlite", options_.sqliteCacheMiB);
    if (!peerSlot_->error().empty()) {
      std::printf("  !! SQLite peer: %s\n", peerSlot_->error().c_str());
      failed_ = true;
    }
  } else {
    StoreSettings settings;
    if (subject == Subject::kUncached) {
      settings.indexCacheMB = 0;
      stores_[0].reset();  // its kept descriptors would serve this store's reads too
    }
    std::unique_ptr<OffMsgStoreMgr>& slot = stores_[subject == Subject::kCached ? 0 : 1];
    slot.reset();
    slot = std::make_unique<OffMsgStoreMgr>(root_, settings, fs_, log_);
    slot->InitStores();
  }
  Use(subject);
}

void GrowthRun::Use(Subject subject) {
  store_ =
      subject == Subject::kSqlite ? nullptr : stores_[subject == Subject::kCached ? 0 : 1].get();
  peer_ = subject == Subject::kSqlite ? peerSlot_.get() : nullptr;
}

void GrowthRun::Close() {
  store_ = nullptr;
  peer_ = nullptr;
  stores_[0].reset();
  stores_[1].reset();
  peerSlot_.reset();
}

std::vector<std::pair<size_t, uint64_t>> GrowthRun::PlanFill() {
  std::vector<std::pair<size_t, uint64_t>> arrivals;
  std::vector<size_t> order(live_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (int round = 0; round < set_.entries; ++round) {
    std::shuffle(order.begin(), order.end(), rng_);
    for (size_t owner : order) {
      const uint64_t seq = nextSeq_++;
      arrivals.emplace_back(owner, seq);
      live_[owner].push_back(seq);
    }
  }
  return arrivals;
}

// Writes what the adds of each owner's messages in turn leave: the texts appended in order, the
// index with every entry, and from two entries on the scratch copy beside it, which then holds
// the index of the save before the last. The fill stays within the owner limit, so no add
// would have trimmed.
bool GrowthRun::FillStore() {
  const StoreSettings settings;
  StorePaths paths(root_, fs_);
  std::unique_ptr<TextFileStore> text;
  std::unique_ptr<IndexStore> index;
  if (set_.group) {
    text = std::make_unique<DisGroupFileStore>(paths, fs_, log_);
    index = std::make_unique<DisGroupIndexStore>(settings.storeDisGroupMaxCount, false, paths, fs_,
                                                 log_);
  } else {
    text = std::make_unique<OffMsgFileStore>(paths, fs_, log_);
    index = std::make_unique<OffMsgIndexStore>(settings.storeMaxCount, false, paths, fs_, log_);
  }
  std::vector<IndexEntry> entries;
  std::string blocks;
  for (size_t owner = 0; owner < live_.size(); ++owner) {
    entries.clear();
    blocks.clear();
    for (uint64_t seq : live_[owner]) {
      IndexEntry& entry = entries.emplace_back();
      entry.record = corpus_.RecordOf(seq, Owner(owner));
      if (index->PrefixesReciever(entry.record.Sender)) {
        entry.record.Reciever = u";" + entry.record.Reciever;
      }
      // The text file holds the blocks back to back, as appended.
      const std::string& block = Compressed(seq);
      if (block.empty()) {
        std::printf("  !! filling %s: a text could not be compressed\n", set_.Label().c_str());
        return false;
      }
      entry.pos = {static_cast<int32_t>(blocks.size()), static_cast<int32_t>(block.size())};
      blocks += block;
    }
    const std::optional<std::string> textPath = text->TextPath(Owner(owner));
    if (!textPath || fs_.WriteFile(*textPath, blocks) != 0) {
      std::printf("  !! filling %s: a text file could not be written\n", set_.Label().c_str());
      return false;
    }
    const std::optional<std::string> path = index->IndexPath(Owner(owner));
    bool ok = path.has_value();
    if (ok && entries.size() >= 2) {
      const IndexEntry last = entries.back();
      entries.pop_back();
      ok = index->WriteIndexFile(ScratchPathOf(*path), entries).ok();
      entries.push_back(last);
    }
    if (!ok || !index->WriteIndexFile(*path, entries).ok()) {
      std::printf("  !! filling %s: an index could not be written\n", set_.Label().c_str());
      return false;
    }
  }
  return true;
}

const std::string& GrowthRun::Compressed(uint64_t seq) {
  const std::u16string& text = corpus_.TextOf(seq);
  std::string& block = compressed_[&text];
  if (block.empty()) block = SqlitePeer::Compress(text);
  return block;
}

bool GrowthRun::FillSqlite(const std::vector<std::pair<size_t, uint64_t>>& arrivals) {
  SqlitePeer peer(root_ + "peer.sqlite", options_.sqliteCacheMiB);
  bool ok = peer.error().empty() && peer.BeginBulk();
  for (size_t i = 0; ok && i < arrivals.size(); ++i) {
    const auto [owner, seq] = arrivals[i];
    ok = peer.AddCompressed(Owner(owner), Compressed(seq), corpus_.RecordOf(seq, Owner(owner)),
                            Limit());
  }
  ok = ok && peer.EndBulk();
  if (!ok)
    std::printf("  !! filling SQLite for %s: %s\n", set_.Label().c_str(), peer.error().c_str());
  return ok;
}

bool GrowthRun::LoadState() {
  std::ifstream in(StatePath());
  std::map<std::string, std::string> values;
  std::string key, value;
  while (in >> key >> value) values[key] = value;
  auto number = [&](const char* name) { return std::atof(values[name].c_str()); };
  if (values["format"] != std::to_string(kStateFormat) || values["set"] != set_.Key() ||
      values["seed"] != std::to_string(seed_)) {
    return false;
  }
  // Slices of this run's size that cover every owner an earlier run took. A set that earlier
  // runs used up is filled anew, from a fresh state.
  const size_t taken = static_cast<size_t>(number("owners-taken"));
  const size_t used = k_ == 0 ? 0 : (taken + k_ - 1) / k_;
  if ((used + 4) * k_ > live_.size()) return false;
  used_ = used;
  nextSeq_ = std::max<uint64_t>(nextSeq_, static_cast<uint64_t>(number("next-seq")));
  fillStoreSeconds_ = number("fill-store-s");
  fillSqliteSeconds_ = number("fill-sqlite-s");
  storeMB_ = number("store-mb");
  sqliteMB_ = number("sqlite-mb");
  return true;
}

void GrowthRun::SaveState() const {
  // Written aside and renamed, so that a killed run leaves the old state or the new.
  const std::string temp = StatePath() + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << "format " << kStateFormat << "\nset " << set_.Key() << "\nseed " << seed_
        << "\nowners-taken " << used_ * k_ << "\nnext-seq " << nextSeq_ << "\nfill-store-s "
        << fillStoreSeconds_ << "\nfill-sqlite-s " << fillSqliteSeconds_ << "\nstore-mb "
        << storeMB_ << "\nsqlite-mb " << sqliteMB_ << "\n";
  }
  std::filesystem::rename(temp, StatePath());
}

std::vector<std::string> GrowthRun::FilesOf(Subject subject, const std::vector<size_t>& owners) {
  if (subject == Subject::kSqlite) return {root_ + "peer.sqlite", root_ + "peer.sqlite-wal"};
  StorePaths paths(root_, fs_, false);
  std::vector<std::string> files;
  for (size_t owner : owners) {
    for (const std::optional<std::string>& path :
         {set_.group ? paths.GroupIndexPath(Owner(owner)) : paths.PersonIndexPath(Owner(owner)),
          set_.group ? paths.GroupTextPath(Owner(owner)) : paths.PersonTextPath(Owner(owner))}) {
      if (path) files.push_back(*path);
    }
  }
  return files;
}

std::string GrowthRun::Count(size_t owner) {
  const int expected = static_cast<int>(live_[owner].size());
  int got = -1;
  if (peer_) {
    got = peer_->Count(Owner(owner));
  } else {
    got = set_.group ? store_->GetAllOffMsgSum(Owner(owner)) : store_->GetOffMsgSum(Owner(owner));
  }
  return got == expected
             ? std::string()
             : "count " + std::to_string(got) + ", expected " + std::to_string(expected);
}

std::string GrowthRun::Fetch(size_t owner, uint64_t seq) {
  texts_.clear();
  const std::u16string msgId = corpus_.MsgIdOf(seq);
  if (peer_) {
    if (!peer_->Fetch(Owner(owner), msgId, &texts_)) return peer_->error();
  } else {
    store_->GetOffMsgTxt(Owner(owner), msgId, &texts_);
  }
  if (texts_.size() != 1) return "found " + std::to_string(texts_.size()) + " parts";
  return Decompress(texts_[0].Data, part_, &partLength_);
}

std::string GrowthRun::Add(size_t owner) {
  const uint64_t seq = nextSeq_++;
  const IndexRecord record = corpus_.RecordOf(seq, Owner(owner));
  const std::u16string& text = corpus_.TextOf(seq);
  if (peer_)
    return peer_->Add(Owner(owner), text, record, Limit()) ? std::string() : peer_->error();
  const int rc = set_.group ? store_->AddDisGroupOffMsg(Owner(owner), text, record)
                            : store_->AddOffMsg(Owner(owner), text, record);
  return rc == 0 ? std::string() : "add " + std::to_string(rc);
}

double GrowthRun::Pass(Subject subject, Op op, const std::vector<size_t>& owners, int rounds) {
  Use(subject);
  std::vector<size_t> plan;
  for (int round = 0; round < rounds; ++round) {
    std::vector<size_t> order = owners;
    std::shuffle(order.begin(), order.end(), rng_);
    plan.insert(plan.end(), order.begin(), order.end());
  }
  // Fetches name one of the owner's messages, drawn before the timing.
  std::vector<uint64_t> seqs(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    const std::vector<uint64_t>& live = live_[plan[i]];
    seqs[i] = live.empty() ? 0 : live[rng_() % live.size()];
  }
  const std::string what = set_.Label() + " " + OpName(op);
  WorkloadResult result = RunWorkload(
      what, "", plan.size(),
      [&](size_t i) {
        switch (op) {
          case Op::kCount:
            return Count(plan[i]);
          case Op::kFetch:
            return Fetch(plan[i], seqs[i]);
          case Op::kAdd:
            return Add(plan[i]);
        }
        return std::string();
      },
      [&](size_t i) {
        if (op != Op::kFetch) return std::string();
        std::string_view expected = StoredBytes(corpus_.TextOf(seqs[i]));
        return std::string_view(reinterpret_cast<const char*>(part_), partLength_) == expected
                   ? std::string()
                   : std::string("decompressed text differs from the stored one");
      });
  if (result.failures > 0) {
    const char* names[] = {"cached", "uncached", "sqlite"};
    std::printf("  !! %s on %s: %zu failed; first: %s\n", what.c_str(),
                names[static_cast<int>(subject)], result.failures, result.firstFailure.c_str());
    failed_ = true;
  }
  return result.fastMeanUs;
}

bool GrowthRun::Fill() {
  // The same seed plans the same fill, so a kept set needs only the plan (and its state).
  const std::vector<std::pair<size_t, uint64_t>> arrivals = PlanFill();
  const bool reused = kept_ && LoadState();
  if (!reused) {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);  // an earlier run's set, or one left unfinished
    std::filesystem::create_directories(root_);
  }
  log_.Open(root_ + "Logs", "Pigeonbox.log");
  if (!reused) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    if (!FillStore()) return false;
    const Clock::time_point stored = Clock::now();
    if (!FillSqlite(arrivals)) return false;
    fillStoreSeconds_ = std::chrono::duration<double>(stored - start).count();
    fillSqliteSeconds_ = std::chrono::duration<double>(Clock::now() - stored).count();
    // The fill's write-back is not charged to the passes.
    Settle();
    storeMB_ = DirectoryBytes(root_ + "OffMsg") / 1e6;
    sqliteMB_ = (DirectoryBytes(root_) - DirectoryBytes(root_ + "OffMsg") -
                 DirectoryBytes(root_ + "Logs")) /
                1e6;
  }
  figures_->AddNote(set_, "fill store s", fillStoreSeconds_);
  figures_->AddNote(set_, "fill sqlite s", fillSqliteSeconds_);
  figures_->AddNote(set_, "store MB", storeMB_);
  figures_->AddNote(set_, "sqlite MB", sqliteMB_);
  order_.resize(live_.size());
  for (size_t i = 0; i < order_.size(); ++i) order_[i] = i;
  std::shuffle(order_.begin(), order_.end(), rng_);
  if (kept_ && !reused) SaveState();
  if (reused)
    std::fprintf(stderr, "%s: kept set taken up (%zu slices used)\n", set_.Label().c_str(), used_);
  return true;
}

bool GrowthRun::Measure() {
  // Owners for the passes, k_ of them in each of four slices no earlier measurement used:
  // counts and fetches change nothing and share one slice; each cold add pass of the store
  // takes a slice of its own, whose owners hold exactly the filled entries.
  const size_t base = used_;
  used_ += 4;
  if (kept_) SaveState();  // the slices are taken, even if this run is killed
  auto slice = [&](size_t n) {
    return std::vector<size_t>(order_.begin() + static_cast<std::ptrdiff_t>((base + n) * k_),
                               order_.begin() + static_cast<std::ptrdiff_t>((base + n + 1) * k_));
  };

  for (Op op : kOps) {
    // A count or fetch changes nothing: its cold passes are repeated on the same owners with a
    // new manager (connection) each time, for more operations to time. The subjects take
    // turns, so that a change in the machine's load falls on all of them alike.
    const int coldRounds = op == Op::kAdd ? 1 : kColdRounds;
    struct Passes {
      std::vector<size_t> dropped, cold;  // owners of the passes with dropped pages, and cold
      std::vector<std::string> droppedFiles, coldFiles;
      std::vector<double> droppedUs, coldUs;  // by round
    } passes[std::size(kSubjects)];
    for (Subject subject : kSubjects) {
      Passes& p = passes[static_cast<int>(subject)];
      const size_t first = op == Op::kAdd && subject == Subject::kUncached ? 2 : 0;
      p.dropped = slice(first);
      p.cold = op == Op::kAdd ? slice(first + 1) : p.dropped;
      p.droppedFiles = FilesOf(subject, p.dropped);
      p.coldFiles = FilesOf(subject, p.cold);
    }
    // Warm: the subject's manager (connection) of its last cold pass, on the same owners, right
    // after that pass (the uncached store's pass closes the cached one). A count or fetch first
    // reads each owner a second time, unmeasured as warm: the cache keeps a file whole from its
    // second read on, so that read loads the file again; its cost is noted on its own.
    auto warm = [&](Subject subject) {
      if (op != Op::kAdd) {
        const double second = Pass(subject, op, passes[static_cast<int>(subject)].cold, 1);
        if (subject == Subject::kCached)
          figures_->AddNote(set_, std::string(OpName(op)) + " second read us", second);
      }
      const std::optional<IndexCache::Stats> before =
          store_ ? store_->IndexCacheStats() : std::nullopt;
      figures_->Add(set_, op, State::kWarm, subject,
                    Pass(subject, op, passes[static_cast<int>(subject)].cold, kWarmRounds));
      if (before && op != Op::kAdd) {
        const IndexCache::Stats after = *store_->IndexCacheStats();
        const double hits = static_cast<double>(after.hits - before->hits);
        const double misses = static_cast<double>(after.misses - before->misses);
        figures_->AddNote(set_, std::string(OpName(op)) + " warm hit %",
                          100 * hits / std::max(1.0, hits + misses));
        figures_->AddNote(set_, "cache KB per owner",
                          static_cast<double>(after.bytes) / 1024 / static_cast<double>(k_));
      }
    };
    for (int round = 0; round < coldRounds; ++round) {
      for (Subject subject : kSubjects) {
        Passes& p = passes[static_cast<int>(subject)];
        if (options_.pageDrop) {
          DropPages(p.droppedFiles);
          Open(subject);
          p.droppedUs.push_back(Pass(subject, op, p.dropped, 1));
        }
        ReadIntoPageCache(p.coldFiles);
        Open(subject);
        p.coldUs.push_back(Pass(subject, op, p.cold, 1));
        if (round == coldRounds - 1) warm(subject);
      }
    }
    for (Subject subject : kSubjects) {
      const Passes& p = passes[static_cast<int>(subject)];
      // The median round: a round that waited on the disk behind other work counts once.
      if (options_.pageDrop) {
        figures_->Add(set_, op, State::kColdDropped, subject, Median(p.droppedUs));
      }
      figures_->Add(set_, op, State::kCold, subject, Median(p.coldUs));
    }
    Close();
  }
  if (kept_) SaveState();  // the sequence numbers the adds took
  return !failed_;
}

// ---- output ----------------------------------------------------------------------------------

// µs per operation, with a precision that suits its size.
std::string Micros(double us) {
  char text[32];
  std::snprintf(text, sizeof text, us < 10 ? "%.2f" : us < 100 ? "%.1f" : "%.0f", us);
  return text;
}

std::string Ratio(double numerator, double denominator) {
  if (numerator <= 0 || denominator <= 0) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", numerator / denominator);
  return text;
}

void PrintTable(const std::vector<DataSet>& sets, const Figures& figures, bool ownersAxis,
                const Options& options) {
  std::printf(
      "| %s | op | state | Pigeonbox µs/op | no cache µs/op | SQLite µs/op | vs SQLite |"
      " vs no cache |\n|---|---|---|---:|---:|---:|---:|---:|\n",
      ownersAxis ? "owners" : "entries per owner");
  for (Op op : kOps) {
    for (const DataSet& set : sets) {
      if (set.ownersAxis != ownersAxis) continue;
      for (State state : kStates) {
        if (state == State::kColdDropped && !options.pageDrop) continue;
        const double mine = figures.Get(set, op, state, Subject::kCached);
        const double uncached = figures.Get(set, op, state, Subject::kUncached);
        const double sqlite = figures.Get(set, op, state, Subject::kSqlite);
        const std::string size = ownersAxis
                                     ? std::to_string(set.owners)
                                     : std::to_string(set.entries) + (set.group ? " group" : "");
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", size.c_str(), OpName(op),
                    StateName(state), Micros(mine).c_str(), Micros(uncached).c_str(),
                    Micros(sqlite).c_str(), Ratio(sqlite, mine).c_str(),
                    Ratio(uncached, mine).c_str());
      }
    }
  }
  std::printf("\n");
  for (const DataSet& set : sets) {
    if (set.ownersAxis != ownersAxis) continue;
    std::printf(
        "- %s: filled in %.1f s (store) and %.1f s (SQLite); store %.1f MB, SQLite %.1f MB; cache "
        "%.1f KB per owner;"
        " warm hits: count %.0f %%, fetch %.0f %%; second read with the cache (loads the file "
        "whole): count %s µs, fetch %s µs\n",
        set.Label().c_str(), figures.Note(set, "fill store s"), figures.Note(set, "fill sqlite s"),
        figures.Note(set, "store MB"), figures.Note(set, "sqlite MB"),
        figures.Note(set, "cache KB per owner"), figures.Note(set, "count warm hit %"),
        figures.Note(set, "fetch+decompress warm hit %"),
        Micros(figures.Note(set, "count second read us")).c_str(),
        Micros(figures.Note(set, "fetch+decompress second read us")).c_str());
  }
}

// The claims: warm count and fetch flat over the entries; cold not slower than without the cache.
void PrintClaims(const std::vector<DataSet>& sets, const Figures& figures, const Options& options) {
  std::printf("\n## Claims\n\n");
  std::printf("Warm µs/op against the 1-entry figure of the same kind (1.00 = flat):\n\n");
  for (Op op : {Op::kCount, Op::kFetch}) {
    std::printf("- warm %s:", OpName(op));
    for (const DataSet& set : sets) {
      if (set.ownersAxis || set.entries == 1) continue;
      for (const DataSet& one : sets) {
        if (one.ownersAxis || one.entries != 1 || one.group != set.group) continue;
        const char* kind = set.group ? " group" : "";
        std::printf(" %d%s/1%s = %s (no cache %s);", set.entries, kind, kind,
                    Ratio(figures.Get(set, op, State::kWarm, Subject::kCached),
                          figures.Get(one, op, State::kWarm, Subject::kCached))
                        .c_str(),
                    Ratio(figures.Get(set, op, State::kWarm, Subject::kUncached),
                          figures.Get(one, op, State::kWarm, Subject::kUncached))
                        .c_str());
      }
    }
    std::printf("\n");
  }
  std::printf(
      "\nCold with the cache against cold without it (no cache µs / cache µs; "
      ">= 1.00 = not slower):\n\n");
  for (State state : {State::kColdDropped, State::kCold}) {
    if (state == State::kColdDropped && !options.pageDrop) continue;
    for (Op op : kOps) {
      double lowest = 1e9, sum = 0;
      int n = 0;
      std::string lowestAt;
      for (const DataSet& set : sets) {
        const double mine = figures.Get(set, op, state, Subject::kCached);
        const double uncached = figures.Get(set, op, state, Subject::kUncached);
        if (mine <= 0 || uncached <= 0) continue;
        const double ratio = uncached / mine;
        sum += ratio;
        ++n;
        if (ratio < lowest) {
          lowest = ratio;
          lowestAt = set.Label();
        }
      }
      if (n > 0) {
        std::printf("- %s, %s: mean %.2f, lowest %.2f (%s)\n", StateName(state), OpName(op),
                    sum / n, lowest, lowestAt.c_str());
      }
    }
  }
}

// ---- the memory probe ------------------------------------------------------------------------

// Run in a fresh process: opens the store with the default settings, lists every owner twice
// (each round in a new shuffled order) and prints its memory and the cache's figures.
int RssProbe(const Options& options) {
  const int owners = options.ownerCounts.back();
  const StoreCorpus corpus(kSeed, owners, kTextCount, 0);
  PosixFileSystem fs;
  LogFile log;
  std::string root = options.rssProbe;
  log.Open(root + "Logs", "Probe.log");
  const double rssBefore = StatusMiB("VmRSS");
  OffMsgStoreMgr store(root, StoreSettings{}, fs, log);
  store.InitStores();
  std::printf("- before opening the store: VmRSS %.1f MiB (owner names, texts, binary)\n",
              rssBefore);
  std::mt19937_64 rng(kSeed);
  std::vector<size_t> order(static_cast<size_t>(owners));
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  IndexCache::Stats last{};
  for (int round = 1; round <= 2; ++round) {
    std::shuffle(order.begin(), order.end(), rng);
    const auto start = std::chrono::steady_clock::now();
    std::vector<IndexRecord> list;
    for (size_t owner : order) {
      // A listing needs the document: from its second read on, the cache keeps it whole.
      const std::u16string& name = corpus.owners()[owner];
      list.clear();
      options.rssProbeGroup ? store.GetAllOffMsgIndex(name, &list)
                            : store.GetOffMsgIndex(name, &list);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const IndexCache::Stats stats = store.IndexCacheStats().value_or(IndexCache::Stats{});
    std::printf(
        "- after listing all %d owners, round %d (%.1f µs/owner): VmRSS %.1f MiB, VmHWM %.1f "
        "MiB; cache %zu files, %.1f of %.0f MiB, this round %llu hits, %llu misses, %llu "
        "evictions\n",
        owners, round, seconds * 1e6 / owners, StatusMiB("VmRSS"), StatusMiB("VmHWM"), stats.files,
        stats.bytes / 1048576.0, stats.capacityBytes / 1048576.0,
        static_cast<unsigned long long>(stats.hits - last.hits),
        static_cast<unsigned long long>(stats.misses - last.misses),
        static_cast<unsigned long long>(stats.evictions - last.evictions));
    last = stats;
  }
  return 0;
}

// Runs the memory probe on the data set in a fresh process; what it printed, under a heading.
std::string ProbeMemory(const DataSet& set, const std::string& root) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  self[n] = 0;
  const std::string command = "'" + std::string(self) + "' --rss-probe='" + root +
                              "' --owners=" + std::to_string(set.owners) +
                              (set.group ? " --rss-probe-group" : "");
  std::string report = "\n## Memory with every owner of " + set.Label() +
                       " touched (a fresh process, IndexCacheMB " +
                       std::to_string(StoreSettings{}.indexCacheMB) + ")\n\n";
  FILE* out = ::popen(command.c_str(), "r");
  if (!out) return report + "- could not start the probe\n";
  char line[1024];
  while (std::fgets(line, sizeof line, out)) report += line;
  ::pclose(out);
  return report;
}

int Main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: store_growth_bench [--quick] [--runs=N] [--owners=N,...] "
                 "[--owners-axis-entries=N] [--entries-owners=N] [--sample=N] [--no-page-drop] "
                 "[--sqlite-cache-mib=N] "
                 "[--dir=PATH] [--keep] [--sets-dir=PATH] [--no-reuse]\n");
    return 2;
  }
  if (!options.rssProbe.empty()) return RssProbe(options);
  std::string work = MakeWorkDir(options.dir, "pigeonbox-growthbench");
  if (work.empty()) {
    std::perror("work directory");
    return 1;
  }
  if (work.back() != '/') work += '/';
  if (options.setsDir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    options.setsDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/pigeonbox-growthbench-sets";
  }
  if (options.setsDir.back() != '/') options.setsDir += '/';
  // As in store_bench: the heap's top is kept, so SQLite's adds pay no brk shrink and regrowth.
  mallopt(M_TRIM_THRESHOLD, 256 << 20);

  std::vector<DataSet> sets;
  for (int entries : {1, 10, 99}) sets.push_back({options.entriesOwners, entries, false, false});
  for (int entries : {1, StoreSettings{}.storeDisGroupMaxCount}) {
    sets.push_back({options.entriesOwners, entries, true, false});
  }
  for (int owners : options.ownerCounts) {
    sets.push_back({owners, options.ownersAxisEntries, false, true});
  }
  int maxOwners = options.entriesOwners;
  for (const DataSet& set : sets) maxOwners = std::max(maxOwners, set.owners);

  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  const StoreCorpus corpus(kSeed, maxOwners, kTextCount, now - 30 * 86400);
  std::printf("# Pigeonbox store growth benchmark%s\n\n", options.quick ? " (quick)" : "");
  std::printf(
      "work dir %s; SQLite %s (WAL, synchronous=NORMAL, page cache %s); load average %s; %ld "
      "cores; %d run(s), the tables give medians\n",
      work.c_str(), SqlitePeer::Version(),
      options.sqliteCacheMiB > 0 ? (std::to_string(options.sqliteCacheMiB) + " MiB").c_str()
                                 : "default",
      LoadAverage().c_str(), ::sysconf(_SC_NPROCESSORS_ONLN), options.runs);
  std::printf(
      "entries axis: %d owners with 1, 10, 99 person entries and 1, %d group entries; owners "
      "axis: %d entr%s per owner.\n"
      "count = GetOffMsgSum (group: GetAllOffMsgSum), fetch = GetOffMsgTxt + decompress, add = "
      "AddOffMsg (group: AddDisGroupOffMsg); SQLite does the same on its table.\n"
      "Each cold pass touches %d owners once (fewer where a set has under 4x as many; counts and "
      "fetches: %d such passes, each with a new manager, the median pass counts); warm = the "
      "same owners %d more times (counts and fetches after one more unmeasured read, which the "
      "cache takes to keep a file whole). µs/op = mean of the fastest 95 %% of a pass's operations (the "
      "rest: preempted on a shared machine).\n"
      "Pigeonbox = IndexCacheMB 64 (default); no cache = IndexCacheMB 0, the store before the "
      "cache. vs SQLite = SQLite µs / Pigeonbox µs; vs no cache = no cache µs / Pigeonbox µs "
      "(> 1: faster).\n%s\n",
      options.entriesOwners, StoreSettings{}.storeDisGroupMaxCount, options.ownersAxisEntries,
      options.ownersAxisEntries == 1 ? "y" : "ies", options.sample, kColdRounds, kWarmRounds,
      options.pageDrop
          ? "cold, pages dropped = the owners' files (SQLite: its whole file) dropped from the "
            "page cache with fdatasync and posix_fadvise(DONTNEED); directory entries and inodes "
            "stay cached. cold = empty index cache, those files in the page cache."
          : "cold = empty index cache, warm page cache.");
  std::printf(
      "Fill (setup, not measured): each owner's files written once with the bytes its adds "
      "leave, SQLite's rows in one transaction; sets of %d owners or more %s.\n\n",
      kKeptSetOwners,
      options.reuse ? ("kept in " + options.setsDir + " and taken up by later runs").c_str()
                    : "filled afresh");
  std::fflush(stdout);

  Figures figures;
  std::string memory;
  std::vector<std::string> filled;  // the data sets' roots, removed at the end
  bool ok = true;
  // A data set with owners enough is filled once and measured in every run, else filled anew
  // for each; the largest ones are kept between runs (both filling and removing 100,000
  // owners' files take minutes on this machine).
  for (size_t i = 0; i < sets.size() && ok; ++i) {
    const bool kept = options.reuse && sets[i].owners >= kKeptSetOwners;
    const std::string root =
        kept ? options.setsDir + sets[i].Key() + "/" : work + "set" + std::to_string(i) + "/";
    auto seconds = [](auto duration) { return std::chrono::duration<double>(duration).count(); };
    std::unique_ptr<GrowthRun> growth;
    for (int run = 0; run < options.runs && ok; ++run) {
      const auto start = std::chrono::steady_clock::now();
      if (!growth || !growth->CanMeasure()) {
        // A kept set is always planned with the same seed, so a later run can take it up.
        const uint64_t seed = kept ? kSeed + static_cast<uint64_t>(sets[i].owners)
                                   : kSeed + 1000 * static_cast<uint64_t>(run) + i;
        if (growth) std::filesystem::remove(root + "growth-state");  // used up: fill again
        growth = std::make_unique<GrowthRun>(options, corpus, sets[i], root, seed, kept, &figures);
        ok = growth->Fill();
        std::fprintf(stderr, "%s: filled in %.0f s\n", sets[i].Label().c_str(),
                     seconds(std::chrono::steady_clock::now() - start));
      }
      const auto measureStart = std::chrono::steady_clock::now();
      ok = ok && growth->Measure();
      std::fprintf(stderr, "%s: run %d measured in %.0f s\n", sets[i].Label().c_str(), run + 1,
                   seconds(std::chrono::steady_clock::now() - measureStart));
      if (ok && run == 0 && i == 0 && options.pageDrop) {
        DropPages({root + "peer.sqlite"});
        std::printf("page cache check: %.0f %% of the SQLite file resident after the drop\n\n",
                    100 * ResidentShare(root + "peer.sqlite"));
      }
      // The largest owner set, and the set with the largest index files.
      const bool probe = (sets[i].ownersAxis && sets[i].owners == maxOwners) ||
                         sets[i].entries == StoreSettings{}.storeDisGroupMaxCount;
      if (ok && run == 0 && probe) memory += ProbeMemory(sets[i], root);
      std::fflush(stdout);
    }
    // Removing many owners' files takes long on a busy disk: the results are printed first.
    if (!kept) filled.push_back(root);
  }
  std::printf("## Growth with the entries per owner (%d owners)\n\n", options.entriesOwners);
  PrintTable(sets, figures, false, options);
  std::printf("\n## Growth with the owners (%d entr%s per owner)\n\n", options.ownersAxisEntries,
              options.ownersAxisEntries == 1 ? "y" : "ies");
  PrintTable(sets, figures, true, options);
  std::printf("%s", memory.c_str());
  PrintClaims(sets, figures, options);
  std::printf("\nload average at the end %s\n", LoadAverage().c_str());
  if (!ok) std::printf("\nSOME OPERATIONS FAILED (see !! lines)\n");
  std::fflush(stdout);
  std::error_code ec;
  if (!options.keep) {
    for (const std::string& root : filled) std::filesystem::remove_all(root, ec);
  }
  if (!options.keep && options.dir.empty()) std::filesystem::remove_all(work, ec);
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace pigeonbox::bench

int main(int argc, char** argv) {
  return pigeonbox::bench::Main(argc, argv);
}
