// Pauses that tests count instead of waiting for: the pacing of text replies, the watchdog's
// probes of the application server.
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
