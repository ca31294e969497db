#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <regex>

#include "store/offmsg_store_mgr.h"
#include "store/store_inspect.h"
#include "store/store_root_lock.h"
#include "suite/xow_zip.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

using testutil::TempDir;

TEST(StoreRootLockTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
  TempDir root;
  StoreRootLock server, admin;
  ASSERT_EQ(server.TryLock(root.path(), "pigeonbox pid 7"), 0);
  EXPECT_EQ(admin.TryLock(root.path(), "pigeonbox-admin"), EWOULDBLOCK);
  EXPECT_FALSE(admin.held());
  EXPECT_EQ(StoreRootLock::ReadHolder(admin.path()), "pigeonbox pid 7");
  server.Unlock();
  EXPECT_EQ(StoreRootLock::ReadHolder(admin.path()), "");
  EXPECT_EQ(admin.TryLock(root.path(), "pigeonbox-admin"), 0);
  EXPECT_EQ(server.TryLock(root.path(), "pigeonbox pid 8"), EWOULDBLOCK);
}

TEST(StoreRootLockTest, KilledHolderLeavesNoStaleLock) {
  TempDir root;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    StoreRootLock held;
    char ok = held.TryLock(root.path(), "child") == 0 ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  StoreRootLock mine;
  EXPECT_EQ(mine.TryLock(root.path(), "parent"), EWOULDBLOCK);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(mine.TryLock(root.path(), "parent"), 0);
  close(ready[0]);
  close(ready[1]);
}

TEST(StoreRootLockTest, MissingRootIsAnErrorNotABusyLock) {
  StoreRootLock lock;
  EXPECT_EQ(lock.TryLock("/nonexistent-pigeonbox-root/", "x"), ENOENT);
  EXPECT_FALSE(lock.held());
}

class StoreInspectTest : public ::testing::Test {
 protected:
  StoreInspectTest() : store_(dir_.path(), StoreSettings(), fs_, log_) { store_.InitStores(); }

  void Add(std::u16string_view owner, std::u16string msgId, bool group = false) {
    IndexRecord record;
    record.MsgID = std::move(msgId);
    record.Sender = u"bob";
    record.Type = u"IM";
    std::u16string text = u"text of " + record.MsgID;
    ASSERT_EQ(group ? store_.AddDisGroupOffMsg(owner, text, record)
                    : store_.AddOffMsg(owner, text, record),
              0);
  }
  const StorePaths& paths() { return *store_.paths(); }
  std::string Read(const std::string& path) {
    std::string data;
    fs_.ReadFile(path, &data);
    return data;
  }
  void Write(const std::string& path, const std::string& data) {
    ASSERT_EQ(fs_.WriteFile(path, data), 0);
  }
  // The damage lines of the store, one per line.
  std::string Damage() {
    std::string lines;
    for (const StoreDamage& d : InspectStore(fs_, paths()).damage)
      lines += d.file + ": " + d.problem + "\n";
    return lines;
  }

  TempDir dir_;
  PosixFileSystem fs_;
  LogFile log_;
  OffMsgStoreMgr store_;
};

TEST_F(StoreInspectTest, SoundStoreCountsOwnersEntriesAndDeadBytes) {
  Add(u"Alice", u"a1");
  Add(u"alice", u"a2");
  Add(u"ALICE", u"a3");
  Add(u"Team", u"t1", true);
  Add(u"Team", u"t2", true);
  std::vector<TextRecord> parts;
  store_.GetOffMsgTxt(u"alice", u"a2", &parts);
  ASSERT_EQ(parts.size(), 1u);
  ASSERT_EQ(store_.DelOffMsg(u"alice", u"a2"), 0);
  // Names beginning with "." are not the store's files, whatever they hold.
  Write(paths().person_index_dir() + "3/.stray.xml", "garbage");

  StoreInspection found = InspectStore(fs_, paths());
  EXPECT_TRUE(found.damage.empty()) << found.damage[0].problem;
  EXPECT_EQ(found.owners, 2);  // alice (person) and Team (group)
  EXPECT_EQ(found.personIndexFiles, 1);
  EXPECT_EQ(found.groupIndexFiles, 1);
  EXPECT_EQ(found.entries, 4);
  EXPECT_EQ(found.deadBytes, parts[0].DataLength);
  EXPECT_EQ(found.textBytes, static_cast<int64_t>(Read(*paths().PersonTextPath(u"alice")).size() +
                                                  Read(*paths().GroupTextPath(u"Team")).size()));
}

TEST_F(StoreInspectTest, TextFileWithoutIndexIsAllDead) {
  Add(u"bob", u"b1");
  const std::string text = *paths().PersonTextPath(u"bob");
  ASSERT_EQ(fs_.Unlink(*paths().PersonIndexPath(u"bob")), 0);
  StoreInspection found = InspectStore(fs_, paths());
  EXPECT_TRUE(found.damage.empty());
  EXPECT_EQ(found.orphanTextFiles, 1);
  EXPECT_EQ(found.owners, 0);
  EXPECT_EQ(found.deadBytes, static_cast<int64_t>(Read(text).size()));
}

// Each kind of damage is found and named.
TEST_F(StoreInspectTest, NamesEachKindOfDamage) {
  struct Case {
    const char* what;
    std::function<void(const std::string& index, const std::string& text)> damage;
    const char* expected;
  };
  const std::string notZeroEnded = [] {
    uint8_t out[64];
    uint32_t len = sizeof out;
    const uint8_t raw[] = {'a', 0, 'b', 0};  // no terminating zero unit
    xowzip::Compress(out, &len, raw, sizeof raw);
    return std::string(reinterpret_cast<char*>(out), len);
  }();
  const Case cases[] = {
      {"truncated text", [&](auto&, auto& t) { Write(t, Read(t).substr(0, 5)); },
       "lies beyond the end of the text file"},
      {"text gone", [&](auto&, auto& t) { fs_.Unlink(t); }, "text file missing while 2 entries"},
      {"index garbage", [&](auto& i, auto&) { Write(i, "<OffMsgIndexData DataSum=\"2\"><Off"); },
       "does not parse"},
      {"no root", [&](auto& i, auto&) { Write(i, "<Other/>"); }, "no OffMsgIndexData root"},
      {"DataSum off",
       [&](auto& i, auto&) {
         std::string s = Read(i);
         s.replace(s.find("DataSum=\"2\""), 11, "DataSum=\"5\"");
         Write(i, s);
       },
       "DataSum \"5\" differs from the 2 entries"},
      {"block overwritten", [&](auto&, auto& t) { Write(t, std::string(Read(t).size(), 'x')); },
       "does not decompress"},
      {"not a text",
       [&](auto& i, auto& t) {
         Write(t, notZeroEnded);
         Write(i, std::regex_replace(
                      Read(i), std::regex(" Addr=\"[0-9]+\" Len=\"[0-9]+\""),
                      " Addr=\"0\" Len=\"" + std::to_string(notZeroEnded.size()) + "\""));
       },
       "terminating zero"},
      {"Addr not a number",
       [&](auto& i, auto&) {
         std::string s = Read(i);
         s.replace(s.find("Addr=\"0\""), 8, "Addr=\"x\"");
         Write(i, s);
       },
       "is not a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    store_.DelUserOffMsgFiles(u"carol");
    Add(u"carol", u"c1");
    Add(u"carol", u"c2");
    ASSERT_EQ(Damage(), "");
    c.damage(*paths().PersonIndexPath(u"carol"), *paths().PersonTextPath(u"carol"));
    const std::string found = Damage();
    EXPECT_NE(found.find(c.expected), std::string::npos) << found;
  }
}

TEST(DecodeTextBlockTest, DecodesTextsFarLargerThanTheFirstBuffer) {
  std::u16string text(200000, u'z');
  text += u"end";
  std::vector<uint8_t> raw;
  for (char16_t unit : text + u'\0') {
    raw.push_back(static_cast<uint8_t>(unit));
    raw.push_back(static_cast<uint8_t>(unit >> 8));
  }
  std::vector<uint8_t> block(4096);
  uint32_t len = static_cast<uint32_t>(block.size());
  ASSERT_EQ(xowzip::Compress(block.data(), &len, raw.data(), static_cast<uint32_t>(raw.size())),
            xowzip::kOk);
  std::u16string decoded;
  std::string problem;
  ASSERT_TRUE(DecodeTextBlock(std::string_view(reinterpret_cast<char*>(block.data()), len),
                              &decoded, &problem))
      << problem;
  EXPECT_EQ(decoded, text);
}

}  // namespace
}  // namespace pigeonbox
