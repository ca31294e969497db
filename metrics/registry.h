// A set of named metrics and its rendering in the Prometheus text exposition format (0.0.4).
//
// Metrics of one name form a family with one HELP and one TYPE line; each member of the family
// has its own label values. Counters, gauges and histograms are owned by the registry and keep
// their address as long as it lives, so the counted places hold plain references. Callback
// metrics are read when rendered; they belong to objects that come and go (the store's index
// cache, the configuration-centre client) and are removed when their handle goes.
//
// Threads: any thread may add, remove and render. Rendering holds the registry's lock while it
// calls the callbacks, so a callback must not touch the registry, and removing a handle waits for
// a rendering in progress: after the handle is gone, its callback is never called again.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "metrics/metric.h"

namespace pigeonbox::metrics {

using Labels = std::vector<std::pair<std::string, std::string>>;

class Registry;

// Removes its callback metric from the registry when it goes.
class CallbackHandle {
 public:
  CallbackHandle() = default;
  ~CallbackHandle() { Reset(); }
  CallbackHandle(CallbackHandle&& other) noexcept;
  CallbackHandle& operator=(CallbackHandle&& other) noexcept;
  void Reset();

 private:
  friend class Registry;
  CallbackHandle(Registry* registry, uint64_t id) : registry_(registry), id_(id) {}
  Registry* registry_ = nullptr;
  uint64_t id_ = 0;
};

class Registry {
 public:
  enum class Type { kCounter, kGauge, kHistogram };

  Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Names follow Prometheus' rules ([a-zA-Z_:][a-zA-Z0-9_:]*); a family keeps the help text and
  // type it was first added with, and adding a member of another type to it is a programming
  // error (it throws std::logic_error).
  Counter& AddCounter(std::string_view name, std::string_view help, Labels labels = {});
  Gauge& AddGauge(std::string_view name, std::string_view help, Labels labels = {});
  Histogram& AddHistogram(std::string_view name, std::string_view help,
                          std::vector<double> upperBounds, Labels labels = {});
  // A counter or gauge whose value `read` gives when rendered; `read` runs with the registry's
  // lock held.
  [[nodiscard]] CallbackHandle AddCallback(Type type, std::string_view name, std::string_view help,
                                           std::function<double()> read, Labels labels = {});

  // Every family in the order of its first member, members in the order they were added.
  std::string Render() const;

 private:
  friend class CallbackHandle;
  struct Member {
    Labels labels;
    Counter* counter = nullptr;
    Gauge* gauge = nullptr;
    Histogram* histogram = nullptr;
    uint64_t callbackId = 0;  // nonzero: `read` gives the value
    std::function<double()> read;
  };
  struct Family {
    std::string name, help;
    Type type;
    std::vector<Member> members;
  };

  Family& FamilyLocked(std::string_view name, std::string_view help, Type type) REQUIRES(mutex_);
  void Remove(uint64_t callbackId);

  mutable Mutex mutex_;
  std::deque<Family> families_ GUARDED_BY(mutex_);
  std::map<std::string, Family*, std::less<>> byName_ GUARDED_BY(mutex_);
  // Stable addresses for the references handed out.
  std::deque<Counter> counters_ GUARDED_BY(mutex_);
  std::deque<Gauge> gauges_ GUARDED_BY(mutex_);
  std::deque<Histogram> histograms_ GUARDED_BY(mutex_);
  uint64_t nextCallbackId_ GUARDED_BY(mutex_) = 1;
};

}  // namespace pigeonbox::metrics
