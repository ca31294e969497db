// A background thread that calls a function at a fixed interval until it is stopped.
//
// The thread sleeps on a condition variable, so Stop wakes it at once and joins it: a service
// stop never waits for the rest of an interval, and no thread is ever killed. An exception that
// escapes the function ends the thread after `onException` has been told (it logs the place).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

#include "base/mutex.h"

namespace pigeonbox {

class PeriodicThread {
 public:
  PeriodicThread() = default;
  ~PeriodicThread() { Stop(); }
  PeriodicThread(const PeriodicThread&) = delete;
  PeriodicThread& operator=(const PeriodicThread&) = delete;

  // Starts calling `tick` every `interval` (first call after one interval).
  void Start(std::chrono::milliseconds interval, std::function<void()> tick,
             std::function<void()> onException) {
    Stop();
    {
      MutexLock lock(mutex_);
      stopping_ = false;
    }
    thread_ =
        std::thread([this, interval, tick = std::move(tick), onException = std::move(onException)] {
          try {
            while (!WaitFor(interval)) tick();
          } catch (...) {
            onException();
          }
        });
  }

  // Wakes the thread and waits for it to end. Safe to call more than once.
  void Stop() {
    {
      MutexLock lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  bool running() const { return thread_.joinable(); }

 private:
  // Sleeps up to `interval`; true when the thread is to stop.
  bool WaitFor(std::chrono::milliseconds interval) {
    MutexLock lock(mutex_);
    return lock.WaitFor(wake_, interval, [this]() REQUIRES(mutex_) { return stopping_; });
  }

  Mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace pigeonbox
