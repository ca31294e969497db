#include "base/periodic_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>

namespace pigeonbox {
namespace {

TEST(PeriodicThreadTest, TicksUntilStoppedAndStopWakesALongSleep) {
  PeriodicThread thread;
  std::promise<void> thirdTick;
  std::atomic<int> ticks{0};
  thread.Start(
      std::chrono::milliseconds(1),
      [&] {
        if (++ticks == 3) thirdTick.set_value();
      },
      [] {});
  thirdTick.get_future().wait();
  thread.Stop();
  int seen = ticks;
  EXPECT_GE(seen, 3);
  EXPECT_FALSE(thread.running());

  // An hour-long interval: Stop must not wait for it (the test would hang).
  thread.Start(
      std::chrono::hours(1), [&] { ++ticks; }, [] {});
  thread.Stop();
  EXPECT_EQ(ticks, seen);
}

TEST(PeriodicThreadTest, AnEscapingExceptionEndsTheThreadAfterReportingIt) {
  PeriodicThread thread;
  std::promise<void> reported;
  thread.Start(
      std::chrono::milliseconds(1), [] { throw std::runtime_error("boom"); },
      [&] { reported.set_value(); });
  reported.get_future().wait();
  thread.Stop();
}

}  // namespace
}  // namespace pigeonbox
