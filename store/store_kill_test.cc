// A process that changes the store is killed with SIGKILL at random moments; whatever instant
// the kill hits, the store must stay sound: every index file parses, its DataSum equals its
// entries, and every entry's block lies inside its text file and decompresses.
//
// Shrinks are killed twice over: at random moments, and at every call of one shrink into the
// file layer in turn (before the call, and halfway through each write). After each kill the
// store is started again (which finishes or undoes the shrink), and then every part within its
// age must still be readable, every owner must have both files of each pair or neither, and
// nothing of the shrink may be left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "base/text.h"
#include "store/offmsg_store_mgr.h"
#include "store/store_inspect.h"
#include "suite/xow_zip.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

constexpr int kOwners = 100;
constexpr int kRounds = 40;  // PB_KILL_ROUNDS overrides it for longer soak runs
constexpr int kMsgIds = 30;  // per owner, so adds and deletes keep meeting

// Written by the child, read by the parent after the kill.
struct Progress {
  std::atomic<uint64_t> operations{0};
  std::atomic<int> inOperation{0};
};

// ASCII and GBK names, and a person name spelled in two letter cases.
std::u16string OwnerName(int n) {
  if (n % 10 == 0) return u"用户" + std::u16string(1, static_cast<char16_t>(u'0' + n / 10));
  std::u16string name = (n % 2 ? u"Owner" : u"owner") + std::u16string(1, u'A' + n % 26);
  return name + std::u16string(1, static_cast<char16_t>(u'0' + n / 26));
}

std::u16string RandomText(std::mt19937& rng) {
  // Mixed: repetitive texts compress well, random ones give blocks of up to about a kilobyte.
  std::u16string text(rng() % 500, u'a');
  const bool noisy = rng() % 2;
  for (char16_t& c : text)
    c = noisy ? static_cast<char16_t>(0x4E00 + rng() % 2000) : u'a' + rng() % 3;
  return text;
}

// The child: adds, deletes and reads across the owners until it is killed.
[[noreturn]] void ChangeStoreForever(const std::string& root, uint32_t seed, Progress* progress,
                                     int readyFd) {
  PosixFileSystem fs;
  LogFile log;  // not opened: the store's log lines go nowhere
  StoreSettings settings;
  settings.storeMaxCount = 15;  // small limits, so adds also trim
  settings.storeDisGroupMaxCount = 15;
  OffMsgStoreMgr store(root, settings, fs, log);
  store.InitStores();
  if (write(readyFd, "r", 1) != 1) _exit(1);
  std::mt19937 rng(seed);
  for (;;) {
    const std::u16string owner = OwnerName(static_cast<int>(rng() % kOwners));
    IndexRecord record;
    record.MsgID = u"m" + std::u16string(1, static_cast<char16_t>(u'A' + rng() % kMsgIds));
    record.Sender = u"sender";
    record.Type = u"IM";
    record.CreateTime = static_cast<int32_t>(rng() % 100000);
    const bool group = rng() % 2;
    const uint32_t op = rng() % 10;
    progress->inOperation.store(1);
    if (op < 5) {
      const std::u16string text = RandomText(rng);
      group ? store.AddDisGroupOffMsg(owner, text, record) : store.AddOffMsg(owner, text, record);
    } else if (op < 8) {
      store.DelOffMsg(owner, record.MsgID);
    } else {
      std::vector<TextRecord> parts;
      store.GetOffMsgTxt(owner, record.MsgID, &parts);
    }
    progress->inOperation.store(0);
    progress->operations.fetch_add(1);
  }
}

// Forks a child that runs `work(readyFd)` until killed; once it has written a byte to readyFd,
// lets it run for a random pause of minMs..maxMs and kills it with SIGKILL. Fails the test when
// the child ended on its own.
template <typename Work>
void KillAfterRandomPause(std::mt19937& rng, long minMs, long maxMs, Work work) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) work(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(ready[1]);
  const timespec pause = {0, (minMs + static_cast<long>(rng() % (maxMs - minMs + 1))) * 1000000L};
  nanosleep(&pause, nullptr);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child ended itself";
}

std::string Describe(const StoreInspection& found) {
  std::string text;
  for (const StoreDamage& d : found.damage) text += d.file + ": " + d.problem + "\n";
  return text;
}

TEST(StoreKillTest, StoreStaysSoundWhereverAWriterIsKilled) {
  testutil::TempDir root;
  PosixFileSystem fs;
  StorePaths paths(root.path(), fs);
  void* shared =
      mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  Progress* progress = new (shared) Progress;
  std::mt19937 rng(std::random_device{}());
  int killsInOperation = 0;
  int64_t maxEntries = 0;
  const char* roundsText = std::getenv("PB_KILL_ROUNDS");
  const int rounds = roundsText && std::atoi(roundsText) > 0 ? std::atoi(roundsText) : kRounds;

  for (int round = 0; round < rounds; ++round) {
    const uint32_t seed = rng();
    ASSERT_NO_FATAL_FAILURE(KillAfterRandomPause(rng, 5, 50, [&](int readyFd) {
      ChangeStoreForever(root.path(), seed, progress, readyFd);
    }));
    killsInOperation += progress->inOperation.exchange(0);

    StoreInspection found = InspectStore(fs, paths);
    ASSERT_TRUE(found.damage.empty()) << "round " << round << " (seed " << seed << "):\n"
                                      << Describe(found);
    maxEntries = std::max(maxEntries, found.entries);
  }
  std::printf("%d rounds, %llu operations, %d kills inside an operation, up to %lld entries\n",
              rounds, static_cast<unsigned long long>(progress->operations.load()),
              killsInOperation, static_cast<long long>(maxEntries));
  // The test means something only if the kills hit a store being changed.
  EXPECT_GT(progress->operations.load(), static_cast<uint64_t>(rounds));
  EXPECT_GT(killsInOperation, 0);
  EXPECT_GT(maxEntries, 0);
  munmap(shared, sizeof(Progress));
}

// ---- Shrinks ----

constexpr int64_t kNow = 1'700'000'000;
constexpr double kMaxAge = 1000;
constexpr int kShrinkOwners = 12;

// One part that must survive every shrink: stored, not deleted, younger than kMaxAge.
struct KeptPart {
  std::u16string owner;
  std::u16string msgId;
  std::u16string text;
};

// Owners with person and group parts: shared MsgIDs, expired parts, deleted parts (dead
// blocks) and texts longer than 3,600 bytes. Returns the parts within their age.
std::vector<KeptPart> SeedShrinkStore(const std::string& root, uint32_t seed) {
  PosixFileSystem fs;
  LogFile log;
  ManualClock clock(kNow);
  OffMsgStoreMgr store(root, StoreSettings{}, fs, log, clock);
  store.InitStores();
  std::mt19937 rng(seed);
  std::vector<KeptPart> kept;
  for (int n = 0; n < kShrinkOwners; ++n) {
    const std::u16string owner = OwnerName(n);
    for (int i = 0; i < 10; ++i) {
      const bool group = n % 2 == 0 && i % 3 == 0;
      IndexRecord record;
      record.MsgID = u"m" + std::u16string(1, static_cast<char16_t>(u'0' + i % 4));
      if (i == 7) record.MsgID = u"gone";
      record.Sender = u"sender";
      record.Type = u"IM";
      const int64_t age = static_cast<int64_t>(rng() % static_cast<uint32_t>(2 * kMaxAge));
      record.CreateTime = static_cast<int32_t>(kNow - age);
      std::u16string text = RandomText(rng);
      if (i == 5) text = std::u16string(2001, u'x') + text;  // 4,004 bytes and more as UTF-16
      const int rc = group ? store.AddDisGroupOffMsg(owner, text, record)
                           : store.AddOffMsg(owner, text, record);
      if (rc == 0 && age < kMaxAge && record.MsgID != u"gone")
        kept.push_back({owner, record.MsgID, text});
    }
    store.DelOffMsg(owner, u"gone");
  }
  return kept;
}

std::u16string Decoded(const TextRecord& part) {
  std::u16string text;
  std::string problem;
  if (!DecodeTextBlock(
          std::string_view(reinterpret_cast<const char*>(part.Data.data()), part.Data.size()),
          &text, &problem))
    return u"(undecodable)";
  return text;
}

// Starts the store again (finishing or undoing an interrupted shrink) and checks it; the
// problems found, empty when there are none.
std::string CheckAfterRestart(const std::string& root, const std::vector<KeptPart>& kept) {
  PosixFileSystem fs;
  LogFile log;
  ManualClock clock(kNow);
  OffMsgStoreMgr store(root, StoreSettings{}, fs, log, clock);
  store.InitStores();
  std::string problems = Describe(InspectStore(fs, *store.paths()));

  // Both files of a pair, or neither; nothing of a shrink left behind.
  std::map<std::string, int> pairs;  // directory + stem -> 1 index, 2 text
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root + "OffMsg")) {
    const std::string path = entry.path().string();
    const std::string name = entry.path().filename().string();
    if (path.find("~shrink") != std::string::npos ||
        (path.find("/.shrink/") != std::string::npos && entry.is_regular_file()))
      problems += path + ": left behind by a shrink\n";
    if (!entry.is_regular_file() || name[0] == '.') continue;
    const std::string ext = entry.path().extension().string();
    // Person pairs share their bucket's number, group pairs the directory "DisGroup".
    const std::string key =
        entry.path().parent_path().filename().string() + "/" + entry.path().stem().string();
    if (ext == ".xml" || ext == ".txt") pairs[key] |= ext == ".xml" ? 1 : 2;
  }
  for (const auto& [stem, files] : pairs) {
    if (files != 3)
      problems +=
          stem + (files == 1 ? ": index without text file\n" : ": text file without index\n");
  }

  // Every part within its age is still there.
  std::map<std::pair<std::u16string, std::u16string>, std::vector<std::u16string>> found;
  for (const KeptPart& part : kept) {
    auto [it, added] = found.try_emplace({part.owner, part.msgId});
    if (!added) continue;
    std::vector<TextRecord> parts;
    store.GetOffMsgTxt(part.owner, part.msgId, &parts);
    for (const TextRecord& t : parts) it->second.push_back(Decoded(t));
  }
  for (const KeptPart& part : kept) {
    std::vector<std::u16string>& texts = found[{part.owner, part.msgId}];
    auto it = std::find(texts.begin(), texts.end(), part.text);
    if (it == texts.end()) {
      problems +=
          ToUtf8(part.owner) + " " + ToUtf8(part.msgId) + ": a part within its age is lost\n";
    } else {
      texts.erase(it);
    }
  }
  return problems;
}

// The child: shrinks owners one after another until it is killed.
[[noreturn]] void ShrinkForever(const std::string& root, uint32_t seed, Progress* progress,
                                int readyFd) {
  PosixFileSystem fs;
  LogFile log;
  ManualClock clock(kNow);
  OffMsgStoreMgr store(root, StoreSettings{}, fs, log, clock);
  store.InitStores();
  if (write(readyFd, "r", 1) != 1) _exit(1);
  std::mt19937 rng(seed);
  for (;;) {
    const std::u16string owner = OwnerName(static_cast<int>(rng() % kShrinkOwners));
    const int kind = rng() % 2 ? OffMsgStoreMgr::kGroupKind : OffMsgStoreMgr::kPersonKind;
    progress->inOperation.store(1);
    store.Shrink(owner, kind, kMaxAge);
    progress->inOperation.store(0);
    progress->operations.fetch_add(1);
  }
}

TEST(StoreKillTest, ShrinksKilledAtRandomMomentsLoseNothing) {
  testutil::TempDir root;
  std::mt19937 rng(std::random_device{}());
  const uint32_t storeSeed = rng();
  const std::vector<KeptPart> kept = SeedShrinkStore(root.path(), storeSeed);
  ASSERT_GT(kept.size(), static_cast<size_t>(kShrinkOwners));
  void* shared =
      mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  Progress* progress = new (shared) Progress;
  const char* roundsText = std::getenv("PB_KILL_ROUNDS");
  const int rounds = roundsText && std::atoi(roundsText) > 0 ? std::atoi(roundsText) : kRounds;
  int killsInShrink = 0;
  for (int round = 0; round < rounds; ++round) {
    const uint32_t seed = rng();
    ASSERT_NO_FATAL_FAILURE(KillAfterRandomPause(
        rng, 1, 30, [&](int readyFd) { ShrinkForever(root.path(), seed, progress, readyFd); }));
    killsInShrink += progress->inOperation.exchange(0);
    const std::string problems = CheckAfterRestart(root.path(), kept);
    ASSERT_TRUE(problems.empty()) << "round " << round << " (store seed " << storeSeed << ", seed "
                                  << seed << "):\n"
                                  << problems;
  }
  std::printf("%d rounds, %llu shrinks, %d kills inside a shrink\n", rounds,
              static_cast<unsigned long long>(progress->operations.load()), killsInShrink);
  // How many shrinks finish between kills depends on the machine's speed and load; what must
  // hold is that shrinks ran and that some kills landed inside one.
  EXPECT_GT(progress->operations.load(), 0u);
  EXPECT_GT(killsInShrink, 0);
  munmap(shared, sizeof(Progress));
}

// The calls one shrink makes into the file layer, recorded by the child that ran it whole.
struct CallLog {
  static constexpr int kMaxCalls = 4096;
  int64_t calls = 0;
  bool isWrite[kMaxCalls] = {};
};

// Passes every call to the disk, except that the n-th call after Arm() kills the process: before
// the call, or (torn) after writing the first half of a write's data. Records the calls it saw.
class KillingFileSystem final : public FileSystem {
 public:
  KillingFileSystem(int64_t killAt, bool torn, CallLog* log)
      : killAt_(killAt), torn_(torn), log_(log) {}
  void Arm() { armed_ = true; }

  int ReadFile(const std::string& p, std::string* d) override { return At(), base_.ReadFile(p, d); }
  int ReadAt(const std::string& p, int64_t o, size_t l, void* b, size_t* n) override {
    return At(), base_.ReadAt(p, o, l, b, n);
  }
  int WriteFile(const std::string& p, std::string_view d) override {
    At([&] { base_.WriteFile(p, d.substr(0, d.size() / 2)); });
    return base_.WriteFile(p, d);
  }
  int OverwriteFile(const std::string& p, std::string_view d) override {
    return At(), base_.OverwriteFile(p, d);
  }
  int Append(const std::string& p, std::string_view d, int64_t* o) override {
    At([&] { base_.Append(p, d.substr(0, d.size() / 2), o); });
    return base_.Append(p, d, o);
  }
  int Truncate(const std::string& p, int64_t s) override { return At(), base_.Truncate(p, s); }
  int Sync(const std::string& p) override { return At(), base_.Sync(p); }
  int Rename(const std::string& f, const std::string& t) override {
    return At(), base_.Rename(f, t);
  }
  int RenameNoReplace(const std::string& f, const std::string& t) override {
    return At(), base_.RenameNoReplace(f, t);
  }
  int Exchange(const std::string& a, const std::string& b) override {
    return At(), base_.Exchange(a, b);
  }
  int Unlink(const std::string& p) override { return At(), base_.Unlink(p); }
  int MakeDir(const std::string& p) override { return At(), base_.MakeDir(p); }
  int Stat(const std::string& p, FileStat* s) override { return At(), base_.Stat(p, s); }
  int ListDir(const std::string& p, std::vector<DirEntry>* e) override {
    return At(), base_.ListDir(p, e);
  }
  int StatNoFollow(const std::string& p, FileStat* s) override {
    return At(), base_.StatNoFollow(p, s);
  }
  int OpenForRead(const std::string& p, int* fd) override { return At(), base_.OpenForRead(p, fd); }
  int ReadOpenAt(int fd, int64_t o, size_t l, void* b, size_t* n) override {
    return At(), base_.ReadOpenAt(fd, o, l, b, n);
  }
  int StatOpen(int fd, FileStat* s) override { return At(), base_.StatOpen(fd, s); }
  int Close(int fd) override { return At(), base_.Close(fd); }

 private:
  // Counts the call; at the n-th, kills the process (after `tear`, for a write, when tearing).
  template <typename Tear = std::nullptr_t>
  void At(Tear tear = nullptr) {
    if (!armed_) return;
    constexpr bool write = !std::is_same_v<Tear, std::nullptr_t>;
    if (log_->calls < CallLog::kMaxCalls) log_->isWrite[log_->calls] = write;
    if (++log_->calls != killAt_) return;
    if constexpr (write) {
      if (torn_) tear();
    }
    raise(SIGKILL);
  }

  PosixFileSystem base_;
  const int64_t killAt_;
  const bool torn_;
  CallLog* log_;
  bool armed_ = false;
};

TEST(StoreKillTest, AShrinkKilledAtEachFileCallInTurnLosesNothing) {
  testutil::TempDir seeded;
  const std::vector<KeptPart> kept = SeedShrinkStore(seeded.path(), 7);
  void* shared =
      mmap(nullptr, sizeof(CallLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  CallLog* calls = new (shared) CallLog;
  struct Case {
    const char* what;
    std::u16string owner;
    int kind;
    double maxAge;
    bool syncWrites = false;
  } cases[] = {
      {"person shrink", OwnerName(1), OffMsgStoreMgr::kPersonKind, kMaxAge},
      {"group shrink", OwnerName(2), OffMsgStoreMgr::kGroupKind, kMaxAge},
      {"shrink keeping nothing", OwnerName(3), OffMsgStoreMgr::kPersonKind, 0},
      {"person shrink with SyncWrites", OwnerName(5), OffMsgStoreMgr::kPersonKind, kMaxAge, true},
  };
  for (const Case& c : cases) {
    std::vector<KeptPart> keep = kept;
    if (c.maxAge == 0) std::erase_if(keep, [&](const KeptPart& p) { return p.owner == c.owner; });
    // Runs the shrink on a copy of the seeded store, killed at call n (0: not at all); then
    // starts the store again and checks it. Whether the run was killed.
    auto run = [&](int64_t n, bool torn) {
      testutil::TempDir work;
      // Links suffice: the shrink never writes into a file it did not create.
      std::filesystem::copy(seeded.path() + "OffMsg", work.path() + "OffMsg",
                            std::filesystem::copy_options::recursive |
                                std::filesystem::copy_options::create_hard_links);
      calls->calls = 0;
      pid_t child = fork();
      if (child == 0) {
        KillingFileSystem fs(n, torn, calls);
        LogFile log;
        ManualClock clock(kNow);
        StoreSettings settings;
        settings.syncWrites = c.syncWrites;
        OffMsgStoreMgr store(work.path(), settings, fs, log, clock);
        store.InitStores();
        fs.Arm();
        _exit(store.Shrink(c.owner, c.kind, c.maxAge).status.ok() ? 0 : 1);
      }
      int status = 0;
      EXPECT_EQ(waitpid(child, &status, 0), child);
      const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
      EXPECT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
          << c.what << ": the shrink failed without a fault (status " << status << ")";
      const std::string problems = CheckAfterRestart(work.path(), keep);
      EXPECT_TRUE(problems.empty())
          << c.what << ", killed " << (torn ? "halfway through" : "before") << " call " << n
          << ":\n"
          << problems;
      return killed;
    };
    ASSERT_FALSE(run(0, false));
    const CallLog whole = *calls;
    ASSERT_LT(whole.calls, CallLog::kMaxCalls);
    int tornWrites = 0;
    for (int64_t n = 1; n <= whole.calls && !HasFailure(); ++n) {
      EXPECT_TRUE(run(n, false));
      if (whole.isWrite[n - 1]) {
        EXPECT_TRUE(run(n, true));
        ++tornWrites;
      }
    }
    std::printf("%s: killed before each of its %lld file calls and halfway through its %d writes\n",
                c.what, static_cast<long long>(whole.calls), tornWrites);
    EXPECT_GT(tornWrites, 0);
  }
  munmap(shared, sizeof(CallLog));
}

}  // namespace
}  // namespace pigeonbox
