// Named workloads for the benchmarks: a workload is a number of operations run one after another
// on the calling thread. Every operation is timed on its own, so a workload reports operations
// per second and latency percentiles; an untimed check after each operation confirms that it did
// what it should, and a workload with a failed check is reported as failed rather than measured.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pigeonbox::bench {

struct WorkloadResult {
  std::string name;
  std::string impl;
  size_t ops = 0;
  size_t failures = 0;  // operations whose run or check failed
  std::string firstFailure;
  double seconds = 0;
  double p50us = 0;
  double p99us = 0;
  double maxUs = 0;
  // Mean of the fastest 95 % of the operations: the cost without the operations a busy
  // machine preempted.
  double fastMeanUs = 0;

  double OpsPerSecond() const { return seconds > 0 ? static_cast<double>(ops) / seconds : 0; }
};

// Fills the percentiles of `result` from per-operation latencies in nanoseconds (reordered).
void SummarizeLatencies(std::vector<int64_t>* nanos, WorkloadResult* result);

// Runs op(i) for i in [0, ops). `op` returns an empty string on success, else what went wrong;
// `check(i)` runs untimed right after op(i) and reports the same way. The wall time of the
// workload is the sum of the operations' times.
template <typename Op, typename Check>
WorkloadResult RunWorkload(std::string name, std::string impl, size_t ops, Op&& op, Check&& check) {
  using Clock = std::chrono::steady_clock;
  WorkloadResult result;
  result.name = std::move(name);
  result.impl = std::move(impl);
  result.ops = ops;
  std::vector<int64_t> nanos(ops);
  int64_t total = 0;
  for (size_t i = 0; i < ops; ++i) {
    const Clock::time_point start = Clock::now();
    std::string error = op(i);
    const Clock::time_point end = Clock::now();
    nanos[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    total += nanos[i];
    if (error.empty()) error = check(i);
    if (!error.empty()) {
      if (result.failures++ == 0) result.firstFailure = "op " + std::to_string(i) + ": " + error;
    }
  }
  result.seconds = static_cast<double>(total) / 1e9;
  SummarizeLatencies(&nanos, &result);
  return result;
}

// Prints rows of results as a pipe table: one header, then rows as they are added.
class ResultTable {
 public:
  // `ratioTitle` heads the last column (a ratio against a reference row of the same workload).
  explicit ResultTable(std::string ratioTitle) : ratioTitle_(std::move(ratioTitle)) {}

  void PrintHeader() const;
  // Prints one row; `ratio` <= 0 leaves the ratio column empty.
  void PrintRow(const WorkloadResult& result, double ratio) const;

 private:
  std::string ratioTitle_;
};

}  // namespace pigeonbox::bench
