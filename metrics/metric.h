// The three kinds of metric a Registry renders: counters, gauges and fixed-bucket histograms.
//
// Updating one is a few relaxed atomic operations: no lock, no allocation, no system call, so
// the counted places (the store, the request path, the transfer workers) pay nothing they could
// measure. Values are read only when rendered, where a slightly stale mix of figures is fine.
// Objects are created by a Registry, which owns them and keeps their address for its lifetime.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace pigeonbox::metrics {

// Only ever goes up.
class Counter {
 public:
  void Inc(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// A value that goes up and down, or is set.
class Gauge {
 public:
  void Set(double value) { value_.store(value, std::memory_order_relaxed); }
  void Add(double delta) { value_.fetch_add(delta, std::memory_order_relaxed); }
  double Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> value_{0};
};

// Observations counted into buckets with fixed upper bounds (ascending, "+Inf" implied), with
// their sum; their count is that of all buckets.
class Histogram {
 public:
  explicit Histogram(std::vector<double> upperBounds);

  void Observe(double value);
  void ObserveDuration(std::chrono::steady_clock::duration elapsed) {
    Observe(std::chrono::duration<double>(elapsed).count());
  }

  std::span<const double> upper_bounds() const { return bounds_; }
  // Observations in bucket i alone (not cumulative); i == upper_bounds().size() is "+Inf".
  uint64_t BucketCount(size_t i) const { return buckets_[i].load(std::memory_order_relaxed); }
  uint64_t Count() const;
  double Sum() const { return sum_.load(std::memory_order_relaxed); }

 private:
  const std::vector<double> bounds_;
  const std::unique_ptr<std::atomic<uint64_t>[]> buckets_;
  std::atomic<double> sum_{0};
};

// Bounds in seconds for the latencies of the store and the request path: 50 µs to 10 s.
std::vector<double> LatencyBuckets();

// Observes the time from its construction to its destruction.
class ScopedTimer {
 public:
  explicit ScopedTimer(Histogram& histogram)
      : histogram_(histogram), start_(std::chrono::steady_clock::now()) {}
  ~ScopedTimer() { histogram_.ObserveDuration(std::chrono::steady_clock::now() - start_); }
  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;

 private:
  Histogram& histogram_;
  const std::chrono::steady_clock::time_point start_;
};

}  // namespace pigeonbox::metrics
