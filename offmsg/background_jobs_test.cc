// The two night jobs of the service: the invalid-user sweep and the shrink scheduler, driven by a
// manual clock (UTC) and a user database double.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "base/text.h"
#include "offmsg/invalid_user_sweep.h"
#include "offmsg/shrink_scheduler.h"
#include "store/safe_save.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

class FakeUsers final : public UserDatabase {
 public:
  Answer Query(std::u16string_view name) override {
    if (onQuery) onQuery();
    if (failure) return *failure;
    return names.count(ToLower(name)) ? Answer::kExists : Answer::kMissing;
  }
  Answer AnyActiveUser() override {
    if (failure) return *failure;
    return names.empty() ? Answer::kMissing : Answer::kExists;
  }
  std::set<std::u16string> names;
  std::optional<Answer> failure;
  std::function<void()> onQuery;  // set before a job's thread starts
};

// Seconds since 1970 of a UTC date and time.
int64_t At(int year, int month, int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  return timegm(&tm);
}

IndexRecord Record(std::u16string msgId) {
  IndexRecord r;
  r.CreateTime = 0;
  r.MsgID = std::move(msgId);
  r.Sender = u"bob";
  return r;
}

class BackgroundJobsTest : public ::testing::Test {
 protected:
  BackgroundJobsTest() : mgr_(dir_.path(), StoreSettings{}, fs_, log_, clock_) {
    setenv("TZ", "UTC", 1);
    tzset();
    log_.Open(dir_.path() + "Logs", "Pigeonbox.log");
    mgr_.InitStores();
    users_.names = {u"alice", u"carol"};
  }
  int Count(std::string_view line) {
    std::string log = dir_.Read("Logs/Pigeonbox.log");
    int n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  }
  bool Exists(const std::optional<std::string>& path) { return path && fs_.Exists(*path); }
  void SetSweepMaxShare(const std::string& percent) {
    dir_.Write("AppConfig/AppOffMsg.xml",
               "<App><Setting SweepMaxShare=\"" + percent + "\"/></App>");
  }
  // Findings about FileSize and ExpireTime.
  int ShrinkFindings() {
    int n = 0;
    for (const Finding& f : ReadServerSettings(dir_.path()).findings)
      n += f.where.find("FileSize") != std::string::npos ||
           f.where.find("ExpireTime") != std::string::npos;
    return n;
  }
  void Ticks(ShrinkScheduler& scheduler, int64_t time) {
    clock_.Set(time);
    for (int i = 0; i < 3; ++i) scheduler.Tick();
  }

  testutil::TempDir dir_;
  PosixFileSystem fs_;
  LogFile log_;
  ManualClock clock_;
  OffMsgStoreMgr mgr_;
  FakeUsers users_;
};

TEST_F(BackgroundJobsTest, SweepDeletesOnlyTheFilesOfUsersWhoAreGone) {
  ASSERT_EQ(mgr_.AddOffMsg(u"Alice", u"a", Record(u"1")), 0);
  ASSERT_EQ(mgr_.AddOffMsg(u"dave", u"d", Record(u"1")), 0);
  ASSERT_EQ(mgr_.AddDisGroupOffMsg(u"dave", u"d", Record(u"2")), 0);
  ASSERT_EQ(mgr_.AddOffMsg(u"dave", u"d", Record(u"3")), 0);  // leaves a scratch copy
  ASSERT_EQ(mgr_.AddOffMsg(u"carol", u"c", Record(u"1")), 0);
  ASSERT_EQ(mgr_.ShrinkOffMsgFile(u"carol", OffMsgStoreMgr::kPersonKind, 1e9), 0);
  SetSweepMaxShare("50");  // dave is one of three owners (the backup does not count)
  ExcludedUsers excluded;
  InvalidUserSweep sweep(dir_.path(), ReadServerSettings(dir_.path()).offmsg.sweep, users_,
                         excluded, fs_, log_, clock_);
  sweep.SetStore(&mgr_);

  users_.failure = UserDatabase::Answer::kFailed;  // an unanswered question deletes nothing
  sweep.SweepStore();
  EXPECT_TRUE(Exists(mgr_.paths()->PersonIndexPath(u"dave")));

  users_.failure.reset();
  sweep.SweepStore();
  EXPECT_TRUE(Exists(mgr_.paths()->PersonIndexPath(u"alice")));
  EXPECT_TRUE(Exists(mgr_.paths()->PersonTextPath(u"carol")));
  for (const std::optional<std::string>& gone :
       {mgr_.paths()->PersonIndexPath(u"dave"), mgr_.paths()->PersonTextPath(u"dave"),
        mgr_.paths()->GroupIndexPath(u"dave"), mgr_.paths()->GroupTextPath(u"dave"),
        mgr_.paths()->PersonIndexPath(u"carol_Backup")}) {
    EXPECT_FALSE(Exists(gone)) << *gone;
  }
  EXPECT_FALSE(fs_.Exists(ScratchPathOf(*mgr_.paths()->PersonIndexPath(u"dave"))));
  // The store's cache forgot dave's removed indexes: a new message starts afresh.
  ASSERT_EQ(mgr_.AddOffMsg(u"dave", u"d", Record(u"4")), 0);
  ASSERT_EQ(mgr_.AddDisGroupOffMsg(u"dave", u"d", Record(u"5")), 0);
  EXPECT_EQ(mgr_.GetAllOffMsgSum(u"dave"), 2);
  EXPECT_EQ(Count("用户:dave不存在，清除他的离线消息"), 4);
}

TEST_F(BackgroundJobsTest, SweepRunsAtMostOnceInTheHourZeroAndReloadsTheList) {
  ASSERT_EQ(mgr_.AddOffMsg(u"dave", u"d", Record(u"1")), 0);
  dir_.Write("invaliduser.txt", "Mallory\n");
  SetSweepMaxShare("100");  // dave is the only owner
  ExcludedUsers excluded;
  InvalidUserSweep sweep(dir_.path(), ReadServerSettings(dir_.path()).offmsg.sweep, users_,
                         excluded, fs_, log_, clock_);
  clock_.Set(At(2026, 12, 6, 23, 58));
  sweep.Tick();
  sweep.Tick();
  EXPECT_FALSE(excluded.Contains(u"mallory"));
  sweep.Tick();  // every third wake-up: the list is reloaded; hour 23, no sweep
  EXPECT_TRUE(excluded.Contains(u"mallory"));
  EXPECT_TRUE(Exists(mgr_.paths()->PersonIndexPath(u"dave")));

  clock_.Set(At(2026, 12, 7, 0, 1));
  for (int i = 0; i < 3; ++i) sweep.Tick();
  EXPECT_FALSE(Exists(mgr_.paths()->PersonIndexPath(u"dave")));
  EXPECT_EQ(sweep.lastSweepTime(), At(2026, 12, 7, 0, 1));
  ASSERT_EQ(mgr_.AddOffMsg(u"dave", u"d", Record(u"2")), 0);
  clock_.Set(At(2026, 12, 7, 0, 58));  // still the same night
  for (int i = 0; i < 3; ++i) sweep.Tick();
  EXPECT_TRUE(Exists(mgr_.paths()->PersonIndexPath(u"dave")));
  clock_.Set(At(2026, 12, 8, 0, 2));  // the next night
  for (int i = 0; i < 3; ++i) sweep.Tick();
  EXPECT_FALSE(Exists(mgr_.paths()->PersonIndexPath(u"dave")));
}

class RecordedEvents final : public SysLogSink {
 public:
  void ReportSysLog(uint32_t, std::u16string_view, uint32_t eventId, std::u16string_view) override {
    ids.push_back(eventId);
  }
  std::vector<uint32_t> ids;
};

// A database that holds no active user, or one that knows none of the owners on disk (another
// suite's), deletes nothing: one log line and one system-log event per sweep.
TEST_F(BackgroundJobsTest, SweepRefusesAnEmptyOrAnotherDatabase) {
  for (std::u16string name : {u"alice", u"carol", u"dave"}) {
    ASSERT_EQ(mgr_.AddOffMsg(name, u"text", Record(u"1")), 0);
  }
  SysLog sysLog;
  RecordedEvents events;
  sysLog.SetSink(&events);
  ExcludedUsers excluded;
  InvalidUserSweep sweep(dir_.path(), ReadServerSettings(dir_.path()).offmsg.sweep, users_,
                         excluded, fs_, log_, clock_, &sysLog);
  for (std::set<std::u16string> names :
       {std::set<std::u16string>{}, std::set<std::u16string>{u"xavier", u"yvonne"}}) {
    users_.names = names;
    sweep.SweepStore();
    for (std::u16string name : {u"alice", u"carol", u"dave"}) {
      EXPECT_TRUE(Exists(mgr_.paths()->PersonIndexPath(name)));
    }
  }
  EXPECT_EQ(Count("没有删除任何文件"), 2);
  EXPECT_EQ(Count("用户数据库中没有任何有效用户"), 1);
  EXPECT_EQ(Count("3个用户中有3个将被清除"), 1);
  EXPECT_EQ(events.ids, (std::vector<uint32_t>(2, InvalidUserSweep::kEventSweepRefused)));
  EXPECT_EQ(Count("不存在，清除他的离线消息"), 0);
  sysLog.SetSink(nullptr);
}

// Ten owners: at most the set share of them goes in one sweep (20 % unless set).
TEST_F(BackgroundJobsTest, SweepDeletesUpToTheSetShareOfOwners) {
  auto owner = [](int i) { return u"user" + FromUtf8(std::to_string(i)); };
  auto sweepWith = [&](int present, const char* share) {
    users_.names.clear();
    for (int i = 0; i < 10; ++i) {
      if (!Exists(mgr_.paths()->PersonIndexPath(owner(i)))) {
        EXPECT_EQ(mgr_.AddOffMsg(owner(i), u"text", Record(u"1")), 0);
      }
      if (i < present) users_.names.insert(owner(i));
    }
    if (share) SetSweepMaxShare(share);
    ExcludedUsers excluded;
    InvalidUserSweep(dir_.path(), ReadServerSettings(dir_.path()).offmsg.sweep, users_, excluded,
                     fs_, log_, clock_)
        .SweepStore();
    int left = 0;
    for (int i = 0; i < 10; ++i) left += Exists(mgr_.paths()->PersonIndexPath(owner(i)));
    return left;
  };
  EXPECT_EQ(sweepWith(8, nullptr), 8);   // 2 of 10: not more than 20 %
  EXPECT_EQ(sweepWith(7, nullptr), 10);  // 3 of 10: held back
  EXPECT_EQ(sweepWith(7, "30"), 7);
  EXPECT_EQ(sweepWith(6, "30"), 10);
  EXPECT_EQ(sweepWith(6, "3O"), 10);  // not a number: the default
}

TEST_F(BackgroundJobsTest, WeeklyShrinkRunsOnceInTheSaturdayWindow) {
  ShrinkSettings settings;
  settings.mode = u"weekly";
  settings.fileSize = 0;
  ShrinkScheduler scheduler(dir_.path(), settings, mgr_, users_, fs_, log_, clock_);
  Ticks(scheduler, At(2026, 12, 5, 2, 1));  // a Saturday
  Ticks(scheduler, At(2026, 12, 5, 2, 4));
  Ticks(scheduler, At(2026, 12, 5, 2, 59));
  EXPECT_EQ(Count("收缩离线文件：开始清理 Mode=weekly Date=7 Hour=2"), 1);
  EXPECT_EQ(Count("收缩离线文件：已完成"), 1);
  Ticks(scheduler, At(2026, 12, 6, 2, 1));   // Sunday: the window closed
  Ticks(scheduler, At(2026, 12, 12, 2, 1));  // the next Saturday
  EXPECT_EQ(Count("开始清理"), 2);

  ShrinkSettings capital = settings;
  capital.mode = u"Weekly";
  EXPECT_TRUE(capital.enabled());
  ShrinkScheduler never(dir_.path(), capital, mgr_, users_, fs_, log_, clock_);
  never.Start(std::chrono::hours(1));  // the thread runs, and stops at once
  EXPECT_TRUE(never.running());
  never.Stop();
  EXPECT_FALSE(never.running());
  Ticks(never, At(2026, 12, 19, 2, 1));
  ShrinkSettings monthly = settings;
  monthly.mode = u"monthly";
  ShrinkScheduler onThe7th(dir_.path(), monthly, mgr_, users_, fs_, log_, clock_);
  Ticks(onThe7th, At(2026, 12, 19, 2, 1));  // a Saturday, not the 7th
  EXPECT_EQ(Count("开始清理"), 2);
  Ticks(onThe7th, At(2027, 1, 7, 2, 30));
  EXPECT_EQ(Count("开始清理 Mode=monthly"), 1);
}

TEST_F(BackgroundJobsTest, ShrinkWalkPicksLargeFilesOfExistingUsers) {
  ASSERT_EQ(
      mgr_.AddOffMsg(u"alice", u"text of alice, a little longer than the others", Record(u"1")), 0);
  ASSERT_EQ(mgr_.AddDisGroupOffMsg(u"alice", u"group text of alice, longer than the others",
                                   Record(u"2")),
            0);
  ASSERT_EQ(mgr_.AddOffMsg(u"dave", u"text of dave", Record(u"1")), 0);
  ASSERT_EQ(mgr_.AddOffMsg(u"carol", u"text of carol", Record(u"1")), 0);
  FileStat stat;
  ASSERT_EQ(fs_.Stat(*mgr_.paths()->PersonTextPath(u"carol"), &stat), 0);
  ShrinkSettings settings;
  settings.mode = u"daily";
  settings.fileSize = static_cast<uint32_t>(stat.size);  // carol's file: exactly the threshold
  ShrinkScheduler scheduler(dir_.path(), settings, mgr_, users_, fs_, log_, clock_);
  scheduler.ShrinkWalk();
  EXPECT_FALSE(Exists(mgr_.paths()->PersonTextPath(u"carol_Backup")));
  EXPECT_TRUE(Exists(mgr_.paths()->PersonTextPath(u"alice_Backup")));
  EXPECT_TRUE(Exists(mgr_.paths()->GroupTextPath(u"alice_Backup")));   // shrunk as a group file
  EXPECT_FALSE(Exists(mgr_.paths()->PersonTextPath(u"dave_Backup")));  // dave has left
  EXPECT_EQ(mgr_.GetAllOffMsgSum(u"alice"), 2);

  settings.fileSize = static_cast<uint32_t>(stat.size - 1);  // carol's file: one byte more
  ShrinkScheduler(dir_.path(), settings, mgr_, users_, fs_, log_, clock_).ShrinkWalk();
  EXPECT_TRUE(Exists(mgr_.paths()->PersonTextPath(u"carol_Backup")));
}

// A stop that arrives while a job walks the store ends the walk before its next file: the first
// question to the database is held until the stop has been asked for.
TEST_F(BackgroundJobsTest, StopEndsASweepOrAShrinkWalkInProgress) {
  for (std::u16string name : {u"dave", u"erin", u"frank"}) {
    ASSERT_EQ(mgr_.AddOffMsg(name, u"text " + name, Record(u"1")), 0);
  }
  std::atomic<int> queries{0};
  auto stopDuringFirstQuery = [&](auto& job) {
    queries = 0;
    std::promise<void> inWalk, stopping;
    std::shared_future<void> stoppingFuture = stopping.get_future().share();
    users_.onQuery = [&, stoppingFuture] {
      if (queries++ != 0) return;
      inWalk.set_value();
      stoppingFuture.wait();
      // Lets Stop ask for the end before this question is answered.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
    job.Start(std::chrono::milliseconds(1));
    ASSERT_EQ(inWalk.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    stopping.set_value();
    job.Stop();
    users_.onQuery = nullptr;
  };

  clock_.Set(At(2026, 12, 7, 0, 1));  // the sweep's hour
  ExcludedUsers excluded;
  InvalidUserSweep sweep(dir_.path(), ReadServerSettings(dir_.path()).offmsg.sweep, users_,
                         excluded, fs_, log_, clock_);
  stopDuringFirstQuery(sweep);
  EXPECT_EQ(queries, 1);
  EXPECT_LE(Count("不存在，清除他的离线消息"), 1);

  users_.names = {u"dave", u"erin", u"frank"};
  ShrinkSettings settings;
  settings.mode = u"daily";
  settings.fileSize = 0;
  clock_.Set(At(2026, 12, 7, 2, 1));  // the shrink's hour
  ShrinkScheduler scheduler(dir_.path(), settings, mgr_, users_, fs_, log_, clock_);
  stopDuringFirstQuery(scheduler);
  EXPECT_EQ(queries, 1);
}

TEST(ShrinkSettingsTest, DefaultsKeepTheShrinkHarmless) {
  testutil::TempDir dir;
  EXPECT_FALSE(ReadServerSettings(dir.path()).offmsg.shrink.enabled());
  dir.Write("AppConfig/AppOffMsg.xml", "<App><Setting FileSize=\"65536\"/></App>");
  ShrinkSettings s = ReadServerSettings(dir.path()).offmsg.shrink;
  EXPECT_EQ(s.mode, u"");
  EXPECT_TRUE(s.enabled());  // the thread runs, but no mode ever matches
  EXPECT_EQ(s.fileSize, 65536u);
  EXPECT_EQ(s.expireTime, std::numeric_limits<double>::infinity());
}

TEST_F(BackgroundJobsTest, ShrinkNumbersAreReadWholeAndOthersLeaveTheShrinkHarmless) {
  dir_.Write("AppConfig/AppOffMsg.xml",
             "<App><Setting Mode=\"daily\" FileSize=\" 00000000000000065536\" "
             "ExpireTime=\"0000000000000604800\"/></App>");
  ShrinkSettings s = ReadServerSettings(dir_.path()).offmsg.shrink;
  EXPECT_EQ(s.fileSize, 65536u);
  EXPECT_EQ(s.expireTime, 604800.0);
  EXPECT_EQ(ShrinkFindings(), 0);

  dir_.Write("AppConfig/AppOffMsg.xml",
             "<App><Setting Mode=\"daily\" FileSize=\"64k\" ExpireTime=\"-5\"/></App>");
  s = ReadServerSettings(dir_.path()).offmsg.shrink;
  EXPECT_EQ(s.fileSize, std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(s.expireTime, std::numeric_limits<double>::infinity());
  EXPECT_EQ(ShrinkFindings(), 2);
}

}  // namespace
}  // namespace pigeonbox
