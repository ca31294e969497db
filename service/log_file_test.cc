#include "service/log_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "base/text.h"
#include "base/thread_id.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kMay1At1020 = 1335867600;  // 2012-05-01 10:20:00 UTC
constexpr int64_t kFeb3At0405 = 1233633906;  // 2009-02-03 04:05:06 UTC
constexpr const char* kLog = "Logs/Pigeonbox.log";

// The prefix the calling thread gets for a line stamped `stamp`.
std::string Prefix(const std::string& stamp) {
  return "[" + stamp + "] (" + std::to_string(CurrentThreadId()) + ")";
}

class LogFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "UTC", 1);
    tzset();
  }

  // Opens `log` on Logs/Pigeonbox.log after filling the file with `fill` bytes.
  void OpenFilled(LogFile& log, size_t fill) {
    tmp_.Write(kLog, std::string(fill, 'f'));
    ASSERT_TRUE(log.Open(logs_, "Pigeonbox.log"));
  }

  testutil::TempDir tmp_;
  const std::string logs_ = tmp_.path() + "Logs/";
  ManualClock clock_{kMay1At1020};
};

TEST_F(LogFileTest, OpenAddsSlashAndCreatesOneDirectoryLevel) {
  LogFile log(clock_), again(clock_), deep(clock_);
  ASSERT_TRUE(log.Open(tmp_.path() + "Logs", "Pigeonbox.log"));
  EXPECT_EQ(log.path(), tmp_.path() + kLog);
  ASSERT_TRUE(again.Open(logs_, "Pigeonbox.log"));  // existing directory: appends
  log.WriteLine(u"one");
  again.WriteLine(u"two");
  std::string prefix = Prefix("2012-05-01 10:20:00");
  EXPECT_EQ(tmp_.Read(kLog), prefix + "one\r\n" + prefix + "two\r\n");

  EXPECT_FALSE(deep.Open(tmp_.path() + "a/b", "Pigeonbox.log"));
  EXPECT_FALSE(deep.is_open());
  deep.Log(u"lost %d", 1);  // without a file nothing happens
  EXPECT_FALSE(fs::exists(tmp_.path() + "a"));
}

// A log rotator moves the file away and asks for a reopen (SIGHUP): later lines start a new
// file at the path instead of following the moved one.
TEST_F(LogFileTest, AfterReopenAllLinesGoToTheFileNowAtThePath) {
  LogFile log(clock_);
  ASSERT_TRUE(log.Open(logs_, "Pigeonbox.log"));
  log.WriteLine(u"before");
  fs::rename(tmp_.path() + kLog, logs_ + "moved.log");
  LogFile::ReopenAll();
  log.WriteLine(u"after");
  std::string prefix = Prefix("2012-05-01 10:20:00");
  EXPECT_EQ(tmp_.Read("Logs/moved.log"), prefix + "before\r\n");
  EXPECT_EQ(tmp_.Read(kLog), prefix + "after\r\n");
}

TEST_F(LogFileTest, LineFormatLiteralTextUtf8AndCut) {
  LogFile log(clock_);
  OpenFilled(log, 0);
  log.WriteLine(u"开始启动服务。");
  clock_.Set(kFeb3At0405);
  log.Log(u"user %s has %d, %s", u"amy", 12, u"100%d%s");
  log.Log(u"%s", std::u16string(2000, u'a'));
  std::string prefix = Prefix("2009-02-03 04:05:06");
  EXPECT_EQ(tmp_.Read(kLog), Prefix("2012-05-01 10:20:00") + "开始启动服务。\r\n" + prefix +
                                 "user amy has 12, 100%d%s\r\n" + prefix + std::string(1023, 'a') +
                                 "\r\n");

  std::u16string fits = std::u16string(1021, u'a') + u"\U0001F600";
  EXPECT_EQ(LogFile::CutMessage(fits + u"b"), fits);
  // A surrogate pair straddling the cut goes as a whole.
  EXPECT_EQ(LogFile::CutMessage(u"b" + fits), u"b" + std::u16string(1021, u'a'));
}

TEST_F(LogFileTest, KeepsExactThresholdThenArchivesAndStartsNewFile) {
  LogFile log(clock_);
  std::string text(100, 'x');
  OpenFilled(log, LogFile::kRotateBytes - Prefix("2012-05-01 10:20:00").size() - 102);
  log.WriteLine(Widen(text));
  EXPECT_EQ(tmp_.Read(kLog).size(), static_cast<size_t>(LogFile::kRotateBytes));

  clock_.Set(kMay1At1020 + 90);  // the archive carries the minute of the rotation
  log.WriteLine(u"over");
  log.WriteLine(u"fresh");
  std::string archived = tmp_.Read("Logs/201205011021Pigeonbox.log");
  EXPECT_EQ(archived.size(), LogFile::kRotateBytes + Prefix("2012-05-01 10:21:30").size() + 6);
  EXPECT_TRUE(archived.ends_with("over\r\n"));
  EXPECT_EQ(tmp_.Read(kLog), Prefix("2012-05-01 10:21:30") + "fresh\r\n");
}

TEST_F(LogFileTest, FailedArchiveRenameKeepsAppending) {
  // A non-empty directory, or an earlier archive of the same minute (which must survive), in
  // the way of the rename.
  for (std::string obstacle : {"/keep", ""}) {
    fs::remove_all(logs_);
    tmp_.Write("Logs/201205011020Pigeonbox.log" + obstacle, "earlier");
    LogFile log(clock_);
    OpenFilled(log, LogFile::kRotateBytes);
    log.WriteLine(u"past");
    log.WriteLine(u"here");
    std::string prefix = Prefix("2012-05-01 10:20:00");
    std::string content = tmp_.Read(kLog);
    EXPECT_EQ(content.size(), LogFile::kRotateBytes + 2 * prefix.size() + 12);
    EXPECT_TRUE(content.ends_with(prefix + "past\r\n" + prefix + "here\r\n"));
    EXPECT_EQ(tmp_.Read("Logs/201205011020Pigeonbox.log" + obstacle), "earlier");
  }
}

TEST_F(LogFileTest, SecondWriterDoesNotArchiveTheFreshFile) {
  LogFile first(clock_), second(clock_);
  OpenFilled(first, LogFile::kRotateBytes);
  ASSERT_TRUE(second.Open(logs_, "Pigeonbox.log"));
  first.WriteLine(u"a");  // archives to ...1020
  clock_.Set(kMay1At1020 + 60);
  first.WriteLine(u"b");   // in the fresh file
  second.WriteLine(u"c");  // still lands in the archive, then follows to the fresh file
  second.WriteLine(u"d");
  EXPECT_TRUE(tmp_.Read("Logs/201205011020Pigeonbox.log").ends_with("c\r\n"));
  EXPECT_FALSE(fs::exists(logs_ + "201205011021Pigeonbox.log"));
  std::string prefix = Prefix("2012-05-01 10:21:00");
  EXPECT_EQ(tmp_.Read(kLog), prefix + "b\r\n" + prefix + "d\r\n");
}

TEST_F(LogFileTest, RotationKeepsOnlyTheNewestArchivesOfItsOwnFile) {
  char name[64];
  for (int minute = 0; minute < 31; ++minute) {
    std::snprintf(name, sizeof name, "Logs/2011010100%02dPigeonbox.log", minute);
    tmp_.Write(name, "old");
  }
  const std::vector<std::string> strangers = {"201101010000AppServer.log", "Pigeonbox.log.1",
                                              "x01101010000Pigeonbox.log", "notes.txt"};
  for (const std::string& stranger : strangers) tmp_.Write("Logs/" + stranger, "keep");
  auto archives = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(logs_)) {
      std::string file = entry.path().filename().string();
      if (std::regex_match(file, std::regex("[0-9]{12}Pigeonbox\\.log"))) names.push_back(file);
    }
    std::sort(names.begin(), names.end());
    return names;
  };

  LogFile log(clock_);
  OpenFilled(log, LogFile::kRotateBytes);
  log.WriteLine(u"a");  // archives to ...1020: 32 archives, the two oldest go
  std::vector<std::string> kept = archives();
  ASSERT_EQ(kept.size(), LogFile::kDefaultArchivesKept);
  EXPECT_EQ(kept.front(), "201101010002Pigeonbox.log");
  EXPECT_EQ(kept.back(), "201205011020Pigeonbox.log");

  log.SetArchivesKept(1);
  clock_.Set(kMay1At1020 + 60);
  tmp_.Write(kLog, std::string(LogFile::kRotateBytes, 'f'));
  log.WriteLine(u"b");
  EXPECT_EQ(archives(), std::vector<std::string>{"201205011021Pigeonbox.log"});
  for (const std::string& stranger : strangers) EXPECT_EQ(tmp_.Read("Logs/" + stranger), "keep");
}

TEST_F(LogFileTest, ConcurrentWritersOnOnePathNeverTearALine) {
  constexpr int kThreads = 4, kLines = 300;
  LogFile logs[2] = {LogFile(clock_), LogFile(clock_)};
  for (LogFile& log : logs) ASSERT_TRUE(log.Open(logs_, "Pigeonbox.log"));
  auto body = [](int t, int i) { return std::string((i * 37) % 700, static_cast<char>('a' + t)); };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) logs[t % 2].Log(u"t%d n%d %s", t, i, body(t, i));
    });
  }
  for (std::thread& thread : threads) thread.join();

  // Every line is whole, and each thread's lines appear in order.
  std::string content = tmp_.Read(kLog);
  std::regex line(R"(\[2012-05-01 10:20:00\] \(\d+\)t(\d) n(\d+) ([a-z]*)\r\n)");
  int next[kThreads] = {};
  auto it = std::sregex_iterator(content.begin(), content.end(), line);
  size_t covered = 0;
  for (; it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    ASSERT_EQ(m.position(), static_cast<std::ptrdiff_t>(covered)) << "torn line";
    covered += m.length();
    int t = std::stoi(m[1]), i = std::stoi(m[2]);
    ASSERT_EQ(i, next[t]++);
    ASSERT_EQ(m[3].str(), body(t, i));
  }
  EXPECT_EQ(covered, content.size());
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

}  // namespace
}  // namespace pigeonbox
