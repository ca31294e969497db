// The lanes' last-resort cap: a flood of deliveries to a stuck lane waits for room instead of
// piling up without end.
#include "suite/delivery_lanes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace pigeonbox {
namespace {

// Waits (bounded) until `value` holds still for a moment; its last value.
long Settled(const std::atomic<long>& value) {
  long seen = -1;
  for (int i = 0; i < 100 && value.load() != seen; ++i) {
    seen = value.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return value.load();
}

TEST(DeliveryLanesTest, AFullLaneHoldsThePosterBackAndStopReleasesIt) {
  constexpr long kPosts = 3 * DeliveryLanes::kMaxQueued;
  DeliveryLanes lanes(1);
  lanes.Start();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  lanes.Post(u"a", [released] { released.wait(); });
  std::vector<long> ran;
  std::atomic<long> posted{0};
  std::thread poster([&] {
    for (long i = 0; i < kPosts; ++i) {
      lanes.Post(u"a", [&ran, i] { ran.push_back(i); });
      ++posted;
    }
  });
  EXPECT_LE(Settled(posted), static_cast<long>(DeliveryLanes::kMaxQueued) + 1);
  release.set_value();
  poster.join();
  lanes.Stop();
  ASSERT_EQ(ran.size(), static_cast<size_t>(kPosts));
  for (long i = 0; i < kPosts; ++i) ASSERT_EQ(ran[i], i);

  // A poster waiting for room is let go (its task dropped) when the lanes stop.
  DeliveryLanes stopping(1);
  stopping.Start();
  std::promise<void> unblock;
  std::shared_future<void> unblocked = unblock.get_future().share();
  stopping.Post(u"a", [unblocked] { unblocked.wait(); });
  for (size_t i = 0; i < DeliveryLanes::kMaxQueued; ++i) stopping.Post(u"a", [] {});
  auto waiting = std::async(std::launch::async, [&] { stopping.Post(u"a", [] {}); });
  auto stop = std::async(std::launch::async, [&] { stopping.Stop(); });
  EXPECT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  unblock.set_value();
  EXPECT_EQ(stop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
}  // namespace pigeonbox
