// A bounded wait for something another thread or process does: polls until it holds.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace pigeonbox::testutil {

// Polls `done` until it holds; false after 10 s, a bound for a failure only.
inline bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

}  // namespace pigeonbox::testutil
