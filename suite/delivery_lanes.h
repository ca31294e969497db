// A fixed set of worker threads ("lanes"), each running its tasks in the order they were posted.
//
// The application-server client posts every delivered message to the lane chosen by a hash of
// its Sender: one user's messages are handled in order, different users in parallel.
//
// Messages that arrive faster than they are handled (a flood of junk requests) wait in the
// lanes: the application server drops an application that leaves too much unread, so the lanes
// take what arrives. kMaxQueued is only the last-resort cap of a lane (Post then waits for room);
// when a lane that held a backlog runs dry, the memory its tasks freed is handed back to the
// system (malloc_trim), since the allocator would otherwise keep the high-water mark of every
// burst for good.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace pigeonbox {

class DeliveryLanes {
 public:
  using Task = std::function<void()>;
  static constexpr size_t kMaxQueued = 65536;
  // A lane that held at least this many tasks trims the heap when it runs dry.
  static constexpr size_t kTrimAfter = 256;

  // `count` lanes (at least one); no thread runs before Start.
  explicit DeliveryLanes(size_t count);
  ~DeliveryLanes();
  DeliveryLanes(const DeliveryLanes&) = delete;
  DeliveryLanes& operator=(const DeliveryLanes&) = delete;

  void Start();
  // Queues `task` on the lane of `key`, first waiting while the lane is full. Tasks posted after
  // Stop (also while waiting) are dropped. Must not be called from a lane's own task.
  void Post(std::u16string_view key, Task task);
  // Lets every lane finish its queue, then joins them. A lane that calls Stop itself is
  // detached instead of joined. Safe to call twice.
  void Stop();

  size_t count() const { return lanes_.size(); }
  size_t LaneOf(std::u16string_view key) const;

 private:
  struct Lane {
    Mutex mutex;
    std::condition_variable wake;
    std::condition_variable room;  // a full lane took a task
    std::deque<Task> tasks GUARDED_BY(mutex);
    // Most tasks held since the lane was last empty.
    size_t highWater GUARDED_BY(mutex) = 0;
    bool stopping GUARDED_BY(mutex) = false;
    std::thread thread;
  };
  // Shared with the lane's thread, which outlives the object when it was detached.
  static void Run(std::shared_ptr<Lane> shared);

  std::vector<std::shared_ptr<Lane>> lanes_;
};

}  // namespace pigeonbox
