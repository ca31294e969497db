// The pauses between batches of text replies go through a Sleeper, so tests count them instead
// of waiting for them.
#pragma once

#include <chrono>
#include <thread>

namespace pigeonbox {

class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

class ThreadSleeper final : public Sleeper {
 public:
  void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace pigeonbox
