#include "bench/workload_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace pigeonbox::bench {
namespace {

// Nearest-rank percentile of sorted values.
int64_t Percentile(const std::vector<int64_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

void SummarizeLatencies(std::vector<int64_t>* nanos, WorkloadResult* result) {
  std::sort(nanos->begin(), nanos->end());
  result->p50us = static_cast<double>(Percentile(*nanos, 0.50)) / 1e3;
  result->p99us = static_cast<double>(Percentile(*nanos, 0.99)) / 1e3;
  result->maxUs = nanos->empty() ? 0 : static_cast<double>(nanos->back()) / 1e3;
  const size_t kept = nanos->size() - nanos->size() / 20;
  int64_t keptNanos = 0;
  for (size_t i = 0; i < kept; ++i) keptNanos += (*nanos)[i];
  result->fastMeanUs =
      kept > 0 ? static_cast<double>(keptNanos) / 1e3 / static_cast<double>(kept) : 0;
}

void ResultTable::PrintHeader() const {
  std::printf("| %-28s | %-22s | %7s | %9s | %8s | %8s | %9s | %-11s |\n", "workload", "impl",
              "ops", "ops/s", "p50 us", "p99 us", "max us", ratioTitle_.c_str());
  std::printf(
      "|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(30, '-').c_str(), std::string(24, '-').c_str(),
      std::string(9, '-').c_str(), std::string(11, '-').c_str(), std::string(10, '-').c_str(),
      std::string(10, '-').c_str(), std::string(11, '-').c_str(), std::string(13, '-').c_str());
  std::fflush(stdout);
}

void ResultTable::PrintRow(const WorkloadResult& r, double ratio) const {
  char ratioText[32] = "";
  if (r.failures > 0) {
    std::snprintf(ratioText, sizeof ratioText, "FAILED");
  } else if (ratio > 0) {
    std::snprintf(ratioText, sizeof ratioText, ratio < 0.1 ? "%.3f" : "%.2f", ratio);
  }
  std::printf("| %-28s | %-22s | %7zu | %9.0f | %8.1f | %8.1f | %9.1f | %-11s |\n", r.name.c_str(),
              r.impl.c_str(), r.ops, r.OpsPerSecond(), r.p50us, r.p99us, r.maxUs, ratioText);
  if (r.failures > 0) {
    std::printf("  !! %zu failed operations; first: %s\n", r.failures, r.firstFailure.c_str());
  }
  std::fflush(stdout);
}

}  // namespace pigeonbox::bench
