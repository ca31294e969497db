#include "suite/delivery_lanes.h"

#include <malloc.h>

#include <algorithm>
#include <memory>

namespace pigeonbox {

DeliveryLanes::DeliveryLanes(size_t count) {
  for (size_t i = 0; i < (count == 0 ? 1 : count); ++i) lanes_.push_back(std::make_shared<Lane>());
}

DeliveryLanes::~DeliveryLanes() {
  Stop();
}

void DeliveryLanes::Start() {
  for (auto& lane : lanes_) {
    if (!lane->thread.joinable()) lane->thread = std::thread(&DeliveryLanes::Run, lane);
  }
}

size_t DeliveryLanes::LaneOf(std::u16string_view key) const {
  return std::hash<std::u16string_view>()(key) % lanes_.size();
}

void DeliveryLanes::Post(std::u16string_view key, Task task) {
  Lane& lane = *lanes_[LaneOf(key)];
  {
    MutexLock lock(lane.mutex);
    lock.Wait(lane.room, [&lane]() REQUIRES(lane.mutex) {
      return lane.stopping || lane.tasks.size() < kMaxQueued;
    });
    if (lane.stopping) return;
    lane.tasks.push_back(std::move(task));
    lane.highWater = std::max(lane.highWater, lane.tasks.size());
  }
  lane.wake.notify_one();
}

void DeliveryLanes::Stop() {
  for (auto& lane : lanes_) {
    {
      MutexLock lock(lane->mutex);
      lane->stopping = true;
    }
    lane->wake.notify_all();
    lane->room.notify_all();
  }
  for (auto& lane : lanes_) {
    if (!lane->thread.joinable()) continue;
    if (lane->thread.get_id() == std::this_thread::get_id()) {
      lane->thread.detach();
    } else {
      lane->thread.join();
    }
  }
}

void DeliveryLanes::Run(std::shared_ptr<Lane> shared) {
  Lane& lane = *shared;
  MutexLock lock(lane.mutex);
  for (;;) {
    lock.Wait(lane.wake,
              [&lane]() REQUIRES(lane.mutex) { return lane.stopping || !lane.tasks.empty(); });
    if (lane.tasks.empty()) return;  // stopping and drained
    Task task = std::move(lane.tasks.front());
    lane.tasks.pop_front();
    const bool wasFull = lane.tasks.size() + 1 == kMaxQueued;
    lock.Unlock();
    if (wasFull) lane.room.notify_one();
    task();
    task = nullptr;
    lock.Lock();
    if (lane.tasks.empty() && lane.highWater >= kTrimAfter) {
      lane.highWater = 0;
      lock.Unlock();
      malloc_trim(0);
      lock.Lock();
    } else if (lane.tasks.empty()) {
      lane.highWater = 0;
    }
  }
}

}  // namespace pigeonbox
