// Lets one log line through per interval for an event that may repeat many times a second (a
// failing accept, a refused connection), carrying the number of events since the last line.
// Used by one thread at a time.
#pragma once

#include <chrono>

namespace pigeonbox {

class LogThrottle {
 public:
  explicit LogThrottle(std::chrono::milliseconds interval = std::chrono::seconds(1))
      : interval_(interval) {}

  // Counts one event. True when a line is due; *count is then the number of events it reports
  // (this one and those held back since the last line).
  bool Count(int* count) {
    ++held_;
    const auto now = std::chrono::steady_clock::now();
    if (logged_ && now - last_ < interval_) return false;
    logged_ = true;
    last_ = now;
    *count = held_;
    held_ = 0;
    return true;
  }

 private:
  const std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point last_{};
  bool logged_ = false;
  int held_ = 0;
};

}  // namespace pigeonbox
