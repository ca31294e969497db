#include "metrics/registry.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace pigeonbox::metrics {
namespace {

const char* TypeName(Registry::Type type) {
  switch (type) {
    case Registry::Type::kCounter:
      return "counter";
    case Registry::Type::kGauge:
      return "gauge";
    case Registry::Type::kHistogram:
      return "histogram";
  }
  return "untyped";
}

void AppendNumber(std::string* out, double value) {
  if (std::isnan(value)) {
    *out += "NaN";
  } else if (std::isinf(value)) {
    *out += value > 0 ? "+Inf" : "-Inf";
  } else {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out->append(buffer, result.ptr);
  }
}

void AppendNumber(std::string* out, uint64_t value) {
  *out += std::to_string(value);
}

// HELP texts escape "\" and line feeds; label values also escape '"'.
void AppendEscaped(std::string* out, std::string_view text, bool quote) {
  for (char c : text) {
    if (c == '\\') {
      *out += "\\\\";
    } else if (c == '\n') {
      *out += "\\n";
    } else if (c == '"' && quote) {
      *out += "\\\"";
    } else {
      *out += c;
    }
  }
}

// `{a="x",le="0.5"}`, or nothing without labels.
void AppendLabels(std::string* out, const Labels& labels, std::string_view extraName = {},
                  std::string_view extraValue = {}) {
  if (labels.empty() && extraName.empty()) return;
  *out += '{';
  bool first = true;
  const auto add = [&](std::string_view name, std::string_view value) {
    if (!first) *out += ',';
    first = false;
    *out += name;
    *out += "=\"";
    AppendEscaped(out, value, true);
    *out += '"';
  };
  for (const auto& [name, value] : labels) add(name, value);
  if (!extraName.empty()) add(extraName, extraValue);
  *out += '}';
}

template <typename Value>
void AppendSample(std::string* out, std::string_view name, std::string_view suffix,
                  const Labels& labels, Value value, std::string_view extraName = {},
                  std::string_view extraValue = {}) {
  *out += name;
  *out += suffix;
  AppendLabels(out, labels, extraName, extraValue);
  *out += ' ';
  AppendNumber(out, value);
  *out += '\n';
}

void AppendHistogram(std::string* out, std::string_view name, const Labels& labels,
                     const Histogram& histogram) {
  // Buckets are cumulative in the format; the count is taken as the "+Inf" bucket so that the
  // two agree even while observations come in.
  uint64_t cumulative = 0;
  const std::span<const double> bounds = histogram.upper_bounds();
  for (size_t i = 0; i < bounds.size(); ++i) {
    cumulative += histogram.BucketCount(i);
    std::string le;
    AppendNumber(&le, bounds[i]);
    AppendSample(out, name, "_bucket", labels, cumulative, "le", le);
  }
  cumulative += histogram.BucketCount(bounds.size());
  AppendSample(out, name, "_bucket", labels, cumulative, "le", "+Inf");
  AppendSample(out, name, "_sum", labels, histogram.Sum());
  AppendSample(out, name, "_count", labels, cumulative);
}

}  // namespace

CallbackHandle::CallbackHandle(CallbackHandle&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr)), id_(other.id_) {}

CallbackHandle& CallbackHandle::operator=(CallbackHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    registry_ = std::exchange(other.registry_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

void CallbackHandle::Reset() {
  if (registry_) registry_->Remove(id_);
  registry_ = nullptr;
}

Registry::Family& Registry::FamilyLocked(std::string_view name, std::string_view help, Type type) {
  if (auto it = byName_.find(name); it != byName_.end()) {
    if (it->second->type != type) {
      throw std::logic_error("metric " + std::string(name) + " added with two types");
    }
    return *it->second;
  }
  Family& family = families_.emplace_back(Family{std::string(name), std::string(help), type, {}});
  byName_.emplace(family.name, &family);
  return family;
}

Counter& Registry::AddCounter(std::string_view name, std::string_view help, Labels labels) {
  MutexLock lock(mutex_);
  Family& family = FamilyLocked(name, help, Type::kCounter);
  Counter& counter = counters_.emplace_back();
  family.members.push_back({std::move(labels), &counter, nullptr, nullptr, 0, {}});
  return counter;
}

Gauge& Registry::AddGauge(std::string_view name, std::string_view help, Labels labels) {
  MutexLock lock(mutex_);
  Family& family = FamilyLocked(name, help, Type::kGauge);
  Gauge& gauge = gauges_.emplace_back();
  family.members.push_back({std::move(labels), nullptr, &gauge, nullptr, 0, {}});
  return gauge;
}

Histogram& Registry::AddHistogram(std::string_view name, std::string_view help,
                                  std::vector<double> upperBounds, Labels labels) {
  MutexLock lock(mutex_);
  Family& family = FamilyLocked(name, help, Type::kHistogram);
  Histogram& histogram = histograms_.emplace_back(std::move(upperBounds));
  family.members.push_back({std::move(labels), nullptr, nullptr, &histogram, 0, {}});
  return histogram;
}

CallbackHandle Registry::AddCallback(Type type, std::string_view name, std::string_view help,
                                     std::function<double()> read, Labels labels) {
  if (type == Type::kHistogram) throw std::logic_error("a histogram cannot be a callback");
  MutexLock lock(mutex_);
  Family& family = FamilyLocked(name, help, type);
  const uint64_t id = nextCallbackId_++;
  family.members.push_back({std::move(labels), nullptr, nullptr, nullptr, id, std::move(read)});
  return CallbackHandle(this, id);
}

void Registry::Remove(uint64_t callbackId) {
  MutexLock lock(mutex_);
  for (Family& family : families_) {
    std::erase_if(family.members,
                  [callbackId](const Member& member) { return member.callbackId == callbackId; });
  }
}

std::string Registry::Render() const {
  std::string out;
  MutexLock lock(mutex_);
  for (const Family& family : families_) {
    // A family whose callbacks are all gone is left out rather than shown without samples.
    if (family.members.empty()) continue;
    out += "# HELP " + family.name + ' ';
    AppendEscaped(&out, family.help, false);
    out += "\n# TYPE " + family.name + ' ' + TypeName(family.type) + '\n';
    for (const Member& member : family.members) {
      if (member.histogram) {
        AppendHistogram(&out, family.name, member.labels, *member.histogram);
      } else if (member.counter) {
        AppendSample(&out, family.name, "", member.labels, member.counter->Value());
      } else if (member.gauge) {
        AppendSample(&out, family.name, "", member.labels, member.gauge->Value());
      } else {
        AppendSample(&out, family.name, "", member.labels, member.read());
      }
    }
  }
  return out;
}

}  // namespace pigeonbox::metrics
