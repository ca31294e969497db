#include "metrics/metric.h"

#include <algorithm>

namespace pigeonbox::metrics {

Histogram::Histogram(std::vector<double> upperBounds)
    : bounds_(std::move(upperBounds)),
      buckets_(std::make_unique<std::atomic<uint64_t>[]>(bounds_.size() + 1)) {}

void Histogram::Observe(double value) {
  // Bucket "le" bounds are inclusive: the first bound not below the value.
  const size_t bucket = static_cast<size_t>(
      std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin());
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  sum_.fetch_add(value, std::memory_order_relaxed);
}

uint64_t Histogram::Count() const {
  uint64_t count = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) count += BucketCount(i);
  return count;
}

std::vector<double> LatencyBuckets() {
  return {0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
          0.01,    0.025,  0.05,    0.1,    0.25,  1,      10};
}

}  // namespace pigeonbox::metrics
