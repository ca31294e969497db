#include "base/clock.h"

namespace pigeonbox {

std::tm Clock::LocalTime(int64_t t) const {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  return tm;
}

const SystemClock& SystemClock::Instance() {
  static const SystemClock clock;
  return clock;
}

int64_t SystemClock::Now() const {
  return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace pigeonbox
