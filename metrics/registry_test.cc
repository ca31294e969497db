#include "metrics/registry.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

namespace pigeonbox::metrics {
namespace {

TEST(RegistryTest, RendersFamiliesInTheTextFormat) {
  Registry registry;
  Counter& person = registry.AddCounter("x_stored_total", "Stored.\nBy store", {{"store", "p"}});
  Gauge& up = registry.AddGauge("x_up", "Up.");
  Counter& group = registry.AddCounter("x_stored_total", "ignored", {{"store", "g\"\\\n"}});
  Histogram& latency = registry.AddHistogram("x_seconds", "Latency.", {0.5, 1});
  person.Inc(3);
  group.Inc();
  up.Set(0.25);
  latency.Observe(0.5);  // bounds are inclusive
  latency.Observe(0.75);
  latency.Observe(30);
  EXPECT_EQ(registry.Render(),
            "# HELP x_stored_total Stored.\\nBy store\n"
            "# TYPE x_stored_total counter\n"
            "x_stored_total{store=\"p\"} 3\n"
            "x_stored_total{store=\"g\\\"\\\\\\n\"} 1\n"
            "# HELP x_up Up.\n"
            "# TYPE x_up gauge\n"
            "x_up 0.25\n"
            "# HELP x_seconds Latency.\n"
            "# TYPE x_seconds histogram\n"
            "x_seconds_bucket{le=\"0.5\"} 1\n"
            "x_seconds_bucket{le=\"1\"} 2\n"
            "x_seconds_bucket{le=\"+Inf\"} 3\n"
            "x_seconds_sum 31.25\n"
            "x_seconds_count 3\n");
}

TEST(RegistryTest, CallbackMetricsAreReadWhenRenderedAndGoWithTheirHandle) {
  Registry registry;
  double value = std::numeric_limits<double>::quiet_NaN();
  CallbackHandle ratio = registry.AddCallback(Registry::Type::kGauge, "x_ratio", "Ratio.",
                                              [&value] { return value; }, {{"cache", "index"}});
  EXPECT_NE(registry.Render().find("x_ratio{cache=\"index\"} NaN\n"), std::string::npos);
  value = 0.75;
  EXPECT_NE(registry.Render().find("x_ratio{cache=\"index\"} 0.75\n"), std::string::npos);

  CallbackHandle moved = std::move(ratio);
  ratio.Reset();  // the moved-from handle removes nothing
  EXPECT_NE(registry.Render().find("x_ratio"), std::string::npos);
  moved.Reset();
  EXPECT_EQ(registry.Render(), "");  // no family left without members
}

TEST(RegistryTest, AFamilyKeepsOneType) {
  Registry registry;
  registry.AddCounter("x_total", "Count.");
  EXPECT_THROW(registry.AddGauge("x_total", "Count."), std::logic_error);
  EXPECT_THROW(
      (void)registry.AddCallback(Registry::Type::kHistogram, "x_h", "H.", [] { return 0.0; }),
      std::logic_error);
}

TEST(RegistryTest, CountsFromManyThreadsAreExactWhileRenderingAndCallbacksComeAndGo) {
  Registry registry;
  Counter& counter = registry.AddCounter("x_total", "Count.");
  Histogram& histogram = registry.AddHistogram("x_seconds", "Latency.", LatencyBuckets());
  constexpr int kThreads = 4, kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        counter.Inc();
        histogram.Observe(0.001);
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    CallbackHandle handle =
        registry.AddCallback(Registry::Type::kGauge, "x_live", "Live.", [i] { return double(i); });
    EXPECT_NE(registry.Render().find("x_live " + std::to_string(i) + "\n"), std::string::npos);
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter.Value(), uint64_t{kThreads * kEach});
  EXPECT_EQ(histogram.Count(), uint64_t{kThreads * kEach});
  EXPECT_NE(registry.Render().find("x_seconds_count " + std::to_string(kThreads * kEach) + "\n"),
            std::string::npos);
  EXPECT_EQ(registry.Render().find("x_live"), std::string::npos);
}

}  // namespace
}  // namespace pigeonbox::metrics
