// Wall-clock time, injectable so that tests can set the hour of the day and the date.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

namespace pigeonbox {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970-01-01 UTC.
  virtual int64_t Now() const = 0;
  // Broken-down local time of `t` (the process time zone).
  virtual std::tm LocalTime(int64_t t) const;
};

// The real clock. Thread-safe; one instance serves the whole process.
class SystemClock final : public Clock {
 public:
  static const SystemClock& Instance();
  int64_t Now() const override;
};

// A clock that shows what it was set to; for tests. Thread-safe.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(int64_t now = 0) : now_(now) {}
  int64_t Now() const override { return now_.load(); }
  void Set(int64_t now) { now_.store(now); }
  void Advance(int64_t seconds) { now_.fetch_add(seconds); }

 private:
  std::atomic<int64_t> now_;
};

}  // namespace pigeonbox
