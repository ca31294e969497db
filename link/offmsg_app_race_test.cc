// The watchdog's stop after the application server's loss, overlapped with the main thread's
// work on the same fields. ThreadSanitizer (the concurrency build) reports any access that is not
// ordered; the plain build checks that exactly one stop happens.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "testutil/link/link_fixture.h"

namespace pigeonbox {
namespace {

using testutil::LinkTest;

// SIGTERM lands just as the five seconds end: the destruction and the watchdog's stop run at
// once, and exactly one of them stops the pieces and closes the client.
TEST_F(LinkTest, ADestructionAsTheRestartDelayEndsDoesNotOverlapTheWatchdogsStop) {
  WriteAppConfig();
  std::unique_ptr<AppServer> revived;
  std::promise<void> destroyed;
  std::thread destroyer;
  platform_.OnSleep([&](size_t sleepsSoFar) {
    if (sleepsSoFar == 1) revived = testutil::Revive(port_);
    if (sleepsSoFar != 2) return;  // the five seconds after the server answered
    destroyer = std::thread([&] {
      link_.reset();
      destroyed.set_value();
    });
  });
  ASSERT_EQ(StartLink(), 0);
  server_->Stop();
  if (destroyed.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the link's destruction does not end";
    std::_Exit(1);  // the destroyer still uses the fixture
  }
  destroyer.join();
  EXPECT_LE(platform_.exitCodes().size(), 1u);
  EXPECT_EQ(pieces_.serviceStops, 1);
  EXPECT_EQ(pieces_.transferStops, 1);
  revived.reset();
}

// The application server goes away while the link is still starting its pieces: the watchdog's
// stop may come while the main thread publishes the transfer service.
TEST_F(LinkTest, AWatchdogStopDuringTheStartDoesNotRaceThePublicationOfThePieces) {
  WriteAppConfig();
  std::unique_ptr<AppServer> revived;
  platform_.OnSleep([&](size_t sleepsSoFar) {
    if (sleepsSoFar == 1) revived = testutil::Revive(port_);
  });
  pieces_.onServiceStart = [&] { server_->Stop(); };
  // Gives the watchdog time to reach its stop while the transfer service is being set up.
  pieces_.onCreateTransfer = [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); };
  EXPECT_EQ(StartLink(), 0);
  ASSERT_TRUE(platform_.WaitForExit());
  link_.reset();
  EXPECT_EQ(pieces_.transferStarts, 1);
  EXPECT_EQ(pieces_.transferStops, 1);
  revived.reset();
}

}  // namespace
}  // namespace pigeonbox
