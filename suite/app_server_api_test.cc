// The application-side library: lanes, the exit callback, the version probe and unregistration.
#include "suite/app_server_api.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <map>
#include <stop_token>
#include <thread>

#include "suite/appserver_socket.h"
#include "suite/appserver_user.h"
#include "suite/delivery_lanes.h"
#include "testutil/silent_listener.h"
#include "testutil/suite/appserver_fixture.h"

namespace pigeonbox {
namespace {

using testutil::Inbox;

class AppServerClientTest : public testutil::AppServerTest {};

TEST_F(AppServerClientTest, EachSendersMessagesArriveInOrderAcrossLanes) {
  Inbox inbox;
  AppServerClient app(3);
  ASSERT_EQ(Launch(app, u"g", u"OffMsg", &inbox), 0);
  constexpr int kUsers = 64, kEach = 40;  // as many users as the server must serve at once
  std::vector<std::unique_ptr<AppServerUser>> users;
  for (int u = 0; u < kUsers; ++u) {
    users.push_back(std::make_unique<AppServerUser>());
    ASSERT_EQ(users.back()->Login("127.0.0.1", port_, u"user" + Widen(std::to_string(u))), 0);
  }
  for (int i = 0; i < kEach; ++i) {
    for (auto& user : users) {
      ASSERT_EQ(user->Send({u"", u"IM_Msg", u"r", u"", Widen(std::to_string(i)), 0}), 0);
    }
  }
  ASSERT_TRUE(inbox.WaitFor(kUsers * kEach));
  std::map<std::u16string, int> next;
  for (const auto& m : inbox.messages()) {
    EXPECT_EQ(m.data, Widen(std::to_string(next[m.sender]++))) << ToUtf8(m.sender);
  }
  EXPECT_EQ(next.size(), static_cast<size_t>(kUsers));
}

TEST(DeliveryLanesTest, ABlockedLaneDoesNotHoldUpOtherLanes) {
  DeliveryLanes lanes(4);
  std::u16string slow = u"slow", fast = u"fast0";
  for (char16_t c = u'0'; lanes.LaneOf(fast) == lanes.LaneOf(slow); ++c) fast.back() = c;
  lanes.Start();
  std::promise<void> fastRan;
  std::future<void> fastDone = fastRan.get_future();
  std::promise<bool> slowSaw;
  lanes.Post(slow, [&] {
    slowSaw.set_value(fastDone.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
  });
  lanes.Post(fast, [&] { fastRan.set_value(); });
  EXPECT_TRUE(slowSaw.get_future().get());
  lanes.Stop();
}

TEST_F(AppServerClientTest, ExitCallbackFiresWhenTheServerStopsButNotOnUnregister) {
  std::promise<void> lost;
  AppServerClient app;
  ASSERT_EQ(Launch(app, u"g1", u"A1", nullptr, [&] { lost.set_value(); }), 0);

  bool quietExit = false;
  {
    AppServerClient leaving;
    ASSERT_EQ(Launch(leaving, u"g2", u"A2", nullptr, [&] { quietExit = true; }), 0);
    EXPECT_EQ(leaving.UnregisterApp(u"g2"), 0);
    EXPECT_NE(leaving.SendTextMsg(u"g2", u"", u"", u"", u"x", u"after"), 0);
  }

  server_->Stop();
  EXPECT_EQ(lost.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(quietExit);
  EXPECT_EQ(app.SendTextMsg(u"g1", u"", u"", u"", u"x", u"late"), appwire::kNotStarted);
}

TEST_F(AppServerClientTest, VersionProbeAnswersOnlyWhileTheServerRuns) {
  std::u16string version;
  EXPECT_EQ(AppServerClient::GetVersionW(u"127.0.0.1", port_, &version, 512, 0, 0), 0);
  EXPECT_EQ(version, AppServer::kVersion);
  EXPECT_EQ(AppServerClient::GetVersionW(u"127.0.0.1", port_, &version, 4, 0, 0), 0);
  EXPECT_EQ(version, u"Pig");
  server_->Stop();
  EXPECT_NE(AppServerClient::GetVersionW(u"127.0.0.1", port_, &version, 512, 0, 0), 0);
}

// A host that drops the handshake: every call gives up after its own timeout (the kernel would
// keep a plain connect waiting for two minutes). The bounds are generous; the point is the hang.
template <typename Call>
auto Within(std::chrono::seconds bound, Call call) {
  auto result = std::async(std::launch::async, call);
  if (result.wait_for(bound) != std::future_status::ready) {
    ADD_FAILURE() << "the call is still waiting after " << bound.count() << " s";
    std::_Exit(1);  // the call still runs on the detached future's thread
  }
  return result.get();
}

TEST(AppServerClientTimeoutTest, CallsToAHostThatDropsTheHandshakeGiveUp) {
  testutil::SilentListener silent;
  ASSERT_TRUE(silent.ok());
  auto within = [](std::chrono::seconds bound, auto call) { return Within(bound, call); };
  std::u16string text;
  EXPECT_NE(
      within(std::chrono::seconds(15),
             [&] { return AppServerClient::GetVersionW(u"127.0.0.1", silent.port(), &text, 512); }),
      0);
  AppServerClient app;
  EXPECT_EQ(within(std::chrono::seconds(15),
                   [&] {
                     return app.RegisterApp(u"127.0.0.1", silent.port(), u"g", u"A", 1, u"", &text,
                                            512);
                   }),
            appwire::kUnreachable);
  EXPECT_EQ(
      within(
          std::chrono::seconds(15),
          [&] { return app.StartApp(u"127.0.0.1", silent.port(), u"g", u"", {}, 16, &text, 512); }),
      appwire::kUnreachable);
}

// A stop of the process while the application registers ends the waits at once: a connection
// attempt without a timeout (which the kernel would keep up for two minutes), and a wait for the
// answer of a host that completed the handshake but never answers (instead of its timeout).
TEST(AppServerClientTimeoutTest, AStopEndsTheWaitsOfARegistration) {
  testutil::SilentListener silent;
  ASSERT_TRUE(silent.ok());
  std::stop_source stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop.request_stop();
  });
  EXPECT_EQ(Within(std::chrono::seconds(10),
                   [&] {
                     return appwire::ConnectTcp("127.0.0.1", silent.port(),
                                                std::chrono::milliseconds(-1), stop.get_token());
                   }),
            -1);
  stopper.join();

  uint16_t mutePort = 0;
  std::string error;
  const int mute = appwire::ListenTcp("127.0.0.1", 0, &mutePort, &error);
  ASSERT_GE(mute, 0) << error;
  AppServerClient app;
  std::thread interrupter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    app.Interrupt();
  });
  std::u16string text;
  const int32_t result = app.RegisterApp(u"127.0.0.1", mutePort, u"g", u"A", 1, u"", &text, 512);
  interrupter.join();
  EXPECT_NE(result, 0);
  EXPECT_NE(result, appwire::kNoAnswer);  // ended by the interrupt, not by the timeout
  close(mute);
}

}  // namespace
}  // namespace pigeonbox
