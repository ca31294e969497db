// The server's own metrics, one set per process, in the process-wide registry.
//
// The counted places update them with one line, e.g. `metrics::Server().repliesSent.Inc();`.
// The set is created on first use; it and the registry live until the process ends, so the
// references never dangle, also in threads that outlive main's objects. docs/metrics.md lists
// every metric with its meaning.
#pragma once

#include "metrics/metric.h"
#include "metrics/registry.h"

namespace pigeonbox::metrics {

// The registry that /metrics renders.
Registry& ProcessRegistry();

struct ServerMetrics {
  explicit ServerMetrics(Registry& registry);

  // Messages (parts, one per receiver) taken into the store.
  Counter& storedPerson;
  Counter& storedGroup;
  // Messages not stored: the word-limit query, an excluded receiver, a text too large for a block.
  Counter& refusedWordLimit;
  Counter& refusedExcluded;
  Counter& refusedOversize;
  // Oldest entries dropped to keep an owner within its limit.
  Counter& trimmed;
  // Parts read out of the store for a text request.
  Counter& fetched;
  // Entries removed: by MsgID (a delete request, a fetch that deletes), by time, by the
  // invalid-user sweep, by the shrink.
  Counter& deletedById;
  Counter& deletedByTime;
  Counter& deletedBySweep;
  Counter& deletedByShrink;
  // Requests without a known command (by command: see RequestCounter).
  Counter& requestsUnknown;
  Counter& repliesSent;
  Counter& repliesFailed;
  Counter& databaseErrors;
  Counter& transferSessionsStarted;
  Counter& transferSessionsRefused;
  Counter& transferBlocksServed;
  Counter& transferBytesServed;

  Gauge& appServerConnected;
  Gauge& serviceRunning;
  Gauge& lastSweepTime;
  Gauge& lastSweepOwners;
  Gauge& lastSweepMessages;
  Gauge& lastShrinkTime;
  Gauge& lastShrinkOwners;
  Gauge& lastShrinkMessages;

  Histogram& storeAddSeconds;
  Histogram& storeFetchSeconds;
  Histogram& storeDeleteSeconds;
  Histogram& requestSeconds;

  // Healthy: the service runs and the application server is linked.
  bool Healthy() const;

 private:
  CallbackHandle openDescriptors_;
  CallbackHandle descriptorLimit_;
};

ServerMetrics& Server();

// Adds the counter of requests naming `command`; call once per command and keep the reference.
Counter& RequestCounter(std::string_view command);

}  // namespace pigeonbox::metrics
