// A fixed set of worker threads ("lanes"), each running its tasks in the order they were posted.
//
// The application-server client posts every delivered message to the lane chosen by a hash of
// its Sender: one user's messages are handled in order, different users in parallel.
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

namespace pigeonbox {

class DeliveryLanes {
 public:
  using Task = std::function<void()>;

  // `count` lanes (at least one); no thread runs before Start.
  explicit DeliveryLanes(size_t count);
  ~DeliveryLanes();
  DeliveryLanes(const DeliveryLanes&) = delete;
  DeliveryLanes& operator=(const DeliveryLanes&) = delete;

  void Start();
  // Queues `task` on the lane of `key`. Tasks posted after Stop are dropped.
  void Post(std::u16string_view key, Task task);
  // Lets every lane finish its queue, then joins them. A lane that calls Stop itself is
  // detached instead of joined. Safe to call twice.
  void Stop();

  size_t count() const { return lanes_.size(); }
  size_t LaneOf(std::u16string_view key) const;

 private:
  struct Lane {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> tasks;
    bool stopping = false;
    std::thread thread;
  };
  // Shared with the lane's thread, which outlives the object when it was detached.
  static void Run(std::shared_ptr<Lane> lane);

  std::vector<std::shared_ptr<Lane>> lanes_;
};

}  // namespace pigeonbox
