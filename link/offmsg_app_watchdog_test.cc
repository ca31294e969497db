// The watchdog that runs when the application server goes away: once with the sleeps and the
// process exit recorded, once for real in a child process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "testutil/link/link_fixture.h"

namespace pigeonbox {
namespace {

using testutil::LinkTest;

constexpr char kFailed[] = "检测到AppServer退出，尝试重连失败";
constexpr char kRecovered[] = "检测到AppServer退出，尝试重连成功，将在5秒后重启Pigeonbox";

TEST_F(LinkTest, WatchdogProbesUntilTheServerAnswersThenStopsAndExits) {
  WriteAppConfig();
  size_t eventsAtFlush = 0;
  pieces_.onCentreFlush = [&] { eventsAtFlush = sink_.events().size(); };
  ASSERT_EQ(StartLink(), 0);
  std::unique_ptr<AppServer> revived;
  platform_.OnSleep([&](size_t sleepsSoFar) {
    if (sleepsSoFar != 3) return;
    revived = std::make_unique<AppServer>(nullptr);
    std::string error;
    ASSERT_TRUE(revived->Start("127.0.0.1", port_, &error)) << error;
  });
  server_->Stop();
  ASSERT_TRUE(platform_.WaitForExit());

  // A pause of a second before each probe (less what a slow probe took), five before the stop.
  std::vector<int64_t> sleeps = platform_.sleeps();
  ASSERT_EQ(sleeps.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_GT(sleeps[i], 0);
    EXPECT_LE(sleeps[i], 1000);
  }
  EXPECT_EQ(sleeps[3], 5000);
  EXPECT_EQ(platform_.exitCodes(), std::vector<int>{0});
  std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{kFailed, kFailed, kRecovered}));
  EXPECT_EQ(pieces_.serviceStops, 1);
  EXPECT_EQ(pieces_.transferStops, 1);
  auto events = sink_.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].level, 2u);
  EXPECT_EQ(events[1].eventId, 1601u);
  EXPECT_EQ(events[1].text, u"服务停止");
  // The process ends without destructors: the centre got to send the stop event first.
  EXPECT_EQ(eventsAtFlush, 2u);
  link_.reset();
  revived.reset();
}

TEST_F(LinkTest, DestroyingTheLinkEndsAWatchdogThatIsStillProbing) {
  WriteAppConfig();
  ASSERT_EQ(StartLink(), 0);
  std::promise<void> probing;
  platform_.OnSleep([&](size_t sleepsSoFar) {
    if (sleepsSoFar == 2) probing.set_value();
  });
  server_->Stop();  // and it never comes back
  ASSERT_EQ(probing.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  std::promise<void> destroyed;
  std::thread([&] {
    link_.reset();  // joins the library's threads, the watchdog's among them
    destroyed.set_value();
  }).detach();
  if (destroyed.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the link's destruction waits for the application server";
    std::_Exit(1);  // the detached thread still uses the fixture
  }
  EXPECT_TRUE(platform_.exitCodes().empty());
}

// The server came back and the watchdog waits its five seconds before it stops the service and
// ends the process; a destruction of the link in those seconds is a stop in progress, which the
// watchdog must not overtake with a process exit of its own.
TEST_F(LinkTest, DestroyingTheLinkDuringTheRestartDelayEndsTheWatchdogWithoutAnExit) {
  WriteAppConfig();
  ASSERT_EQ(StartLink(), 0);
  std::unique_ptr<AppServer> revived;
  std::promise<void> resetStarted, destroyed;
  std::shared_future<void> resetStartedFuture = resetStarted.get_future().share();
  platform_.OnSleep([&](size_t sleepsSoFar) {
    if (sleepsSoFar == 3) {
      revived = std::make_unique<AppServer>(nullptr);
      std::string error;
      ASSERT_TRUE(revived->Start("127.0.0.1", port_, &error)) << error;
    }
    if (sleepsSoFar != 4) return;  // the five seconds after the server answered
    std::thread([&] {
      resetStarted.set_value();
      link_.reset();
      destroyed.set_value();
    }).detach();
    resetStartedFuture.wait();
    // Lets the destructor get to the join of this (the library's) thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  });
  server_->Stop();
  ASSERT_EQ(resetStartedFuture.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  if (destroyed.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the link's destruction does not end";
    std::_Exit(1);  // the detached thread still uses the fixture
  }
  EXPECT_TRUE(platform_.exitCodes().empty());
  revived.reset();
}

size_t CountInFile(const std::string& path, const std::string& text) {
  std::ifstream in(path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t count = 0;
  for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1)) {
    ++count;
  }
  return count;
}

// Runs in the child: a server that goes away and comes back on the same port, the real
// platform, and the link's watchdog ending the process.
[[noreturn]] void RunServerLossInChild(const std::string& root) {
  // A bound on the whole run, so a broken watchdog fails the test instead of hanging it.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(60));
    _exit(3);
  }).detach();

  auto server = std::make_unique<AppServer>(nullptr);
  std::string error;
  if (!server->Start("127.0.0.1", 0, &error)) _exit(4);
  uint16_t port = server->port();
  std::ofstream(root + "AppConfig/AppOffMsg.xml")
      << "<App><AppRegInfo><Request_Type>IM_Msg|</Request_Type></AppRegInfo>"
         "<AppInfo AppGuid=\"{child}\" AppName=\"OffMsgApp\" Priority=\"1\"/>"
         "<AppSvrInfo AppSvrIp=\"127.0.0.1\" AppSvrPort=\""
      << port << "\"/></App>";
  testutil::TestPieces pieces;
  testutil::TestFactory factory(pieces);
  SysLog sysLog;
  LinkEnvironment env;
  env.installRoot = root;
  env.app = ReadServerSettings(root).app;
  env.factory = &factory;
  env.sysLog = &sysLog;
  std::unique_ptr<OffMsgApp> link;
  if (OffMsgApp::StartLink(env, &link) != 0) _exit(5);

  server->Stop();
  std::string log = root + "Logs/Pigeonbox.log";
  while (CountInFile(log, kFailed) < 3) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server = std::make_unique<AppServer>(nullptr);
  if (!server->Start("127.0.0.1", port, &error)) _exit(6);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));  // the watchdog ends us
}

TEST(LinkWatchdogProcessTest, ServerLossEndsTheProcessWithCodeZeroAfterItComesBack) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares this test's temporary root
  testutil::TempDir dir;
  std::filesystem::create_directories(dir.path() + "AppConfig");
  EXPECT_EXIT(RunServerLossInChild(dir.path()), ::testing::ExitedWithCode(0), "");

  // Lines of the run: start, at least three failures, one success line, nothing after it.
  std::string text = dir.Read("Logs/Pigeonbox.log");
  std::vector<std::string> kinds;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find("\r\n", begin);
    std::string line = text.substr(begin, end - begin);
    if (line.find(kFailed) != std::string::npos)
      kinds.push_back("failed");
    else if (line.find(kRecovered) != std::string::npos)
      kinds.push_back("recovered");
    else
      kinds.push_back("other");
    begin = end == std::string::npos ? text.size() : end + 2;
  }
  ASSERT_GE(kinds.size(), 5u);
  EXPECT_EQ(kinds.back(), "recovered");
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "recovered"), 1);
  size_t failures = std::count(kinds.begin(), kinds.end(), "failed");
  EXPECT_GE(failures, 3u);
  // The failures are consecutive and come right before the success line.
  EXPECT_EQ(std::vector<std::string>(kinds.end() - 1 - failures, kinds.end() - 1),
            std::vector<std::string>(failures, "failed"));
}

}  // namespace
}  // namespace pigeonbox
