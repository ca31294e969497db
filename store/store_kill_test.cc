// A process that changes the store is killed with SIGKILL at random moments; whatever instant
// the kill hits, the store must stay sound: every index file parses, its DataSum equals its
// entries, and every entry's block lies inside its text file and decompresses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "store/offmsg_store_mgr.h"
#include "store/store_inspect.h"
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
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const uint32_t seed = rng();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) ChangeStoreForever(root.path(), seed, progress, ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);
    const timespec pause = {0, static_cast<long>(5 + rng() % 46) * 1000000L};
    nanosleep(&pause, nullptr);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child ended itself";
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

}  // namespace
}  // namespace pigeonbox
