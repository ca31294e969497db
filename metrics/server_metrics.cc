#include "metrics/server_metrics.h"

#include "metrics/process_figures.h"

namespace pigeonbox::metrics {
namespace {

constexpr char kStored[] = "pigeonbox_messages_stored_total";
constexpr char kStoredHelp[] = "Message parts stored, one per receiver, by store.";
constexpr char kRefused[] = "pigeonbox_messages_refused_total";
constexpr char kRefusedHelp[] = "Messages or receiver copies not stored, by reason.";
constexpr char kDeleted[] = "pigeonbox_messages_deleted_total";
constexpr char kDeletedHelp[] = "Stored message parts removed, by reason.";
constexpr char kRequests[] = "pigeonbox_requests_total";
constexpr char kRequestsHelp[] = "Requests handled, by command (unknown: none or not known).";

Counter& Labelled(Registry& r, const char* name, const char* help, const char* label,
                  const char* value) {
  return r.AddCounter(name, help, {{label, value}});
}

}  // namespace

Registry& ProcessRegistry() {
  // Never destroyed: threads that outlive main's objects may still count.
  static Registry* const registry = new Registry;
  return *registry;
}

ServerMetrics::ServerMetrics(Registry& r)
    : storedPerson(Labelled(r, kStored, kStoredHelp, "store", "person")),
      storedGroup(Labelled(r, kStored, kStoredHelp, "store", "group")),
      refusedWordLimit(Labelled(r, kRefused, kRefusedHelp, "reason", "word_limit")),
      refusedExcluded(Labelled(r, kRefused, kRefusedHelp, "reason", "excluded")),
      refusedOversize(Labelled(r, kRefused, kRefusedHelp, "reason", "oversize")),
      trimmed(r.AddCounter("pigeonbox_messages_trimmed_total",
                           "Oldest entries dropped to keep an owner within the store limit.")),
      fetched(r.AddCounter("pigeonbox_messages_fetched_total",
                           "Message parts read out of the store for text requests.")),
      deletedById(Labelled(r, kDeleted, kDeletedHelp, "reason", "id")),
      deletedByTime(Labelled(r, kDeleted, kDeletedHelp, "reason", "time")),
      deletedBySweep(Labelled(r, kDeleted, kDeletedHelp, "reason", "sweep")),
      deletedByShrink(Labelled(r, kDeleted, kDeletedHelp, "reason", "shrink")),
      requestsUnknown(Labelled(r, kRequests, kRequestsHelp, "command", "unknown")),
      repliesSent(r.AddCounter("pigeonbox_replies_sent_total",
                               "Replies handed to the application server.")),
      repliesFailed(r.AddCounter("pigeonbox_replies_failed_total",
                                 "Replies the application server library refused.")),
      databaseErrors(r.AddCounter("pigeonbox_database_errors_total",
                                  "Failed logins and queries of the user database.")),
      transferSessionsStarted(r.AddCounter("pigeonbox_transfer_sessions_started_total",
                                           "File-transfer sessions opened with a valid ticket.")),
      transferSessionsRefused(r.AddCounter("pigeonbox_transfer_sessions_refused_total",
                                           "File-transfer session starts refused.")),
      transferBlocksServed(r.AddCounter("pigeonbox_transfer_blocks_served_total",
                                        "File blocks sent to transfer clients.")),
      transferBytesServed(r.AddCounter("pigeonbox_transfer_served_bytes_total",
                                       "File bytes sent to transfer clients.")),
      appServerConnected(r.AddGauge("pigeonbox_app_server_connected",
                                    "1 while the application server is linked, else 0.")),
      serviceRunning(r.AddGauge("pigeonbox_service_running",
                                "1 while the offline-message service takes messages, else 0.")),
      lastSweepTime(r.AddGauge("pigeonbox_last_sweep_timestamp_seconds",
                               "When the last invalid-user sweep ended (Unix time; 0: none).")),
      lastSweepOwners(r.AddGauge("pigeonbox_last_sweep_owners",
                                 "Users whose files the last invalid-user sweep removed.")),
      lastSweepMessages(r.AddGauge("pigeonbox_last_sweep_messages",
                                   "Message parts the last invalid-user sweep removed.")),
      lastShrinkTime(r.AddGauge("pigeonbox_last_shrink_timestamp_seconds",
                                "When the last shrink run ended (Unix time; 0: none).")),
      lastShrinkOwners(
          r.AddGauge("pigeonbox_last_shrink_owners", "Owner files the last shrink run rewrote.")),
      lastShrinkMessages(r.AddGauge("pigeonbox_last_shrink_messages",
                                    "Message parts the last shrink run dropped.")),
      storeAddSeconds(r.AddHistogram("pigeonbox_store_add_duration_seconds",
                                     "Time to store one message part.", LatencyBuckets())),
      storeFetchSeconds(r.AddHistogram("pigeonbox_store_fetch_duration_seconds",
                                       "Time to read the parts of one MsgID out of the store.",
                                       LatencyBuckets())),
      storeDeleteSeconds(r.AddHistogram("pigeonbox_store_delete_duration_seconds",
                                        "Time of one delete in the store (by id, parts or time).",
                                        LatencyBuckets())),
      requestSeconds(r.AddHistogram("pigeonbox_request_duration_seconds",
                                    "Time to handle one delivered message or request.",
                                    LatencyBuckets())),
      openDescriptors_(r.AddCallback(Registry::Type::kGauge, "pigeonbox_open_descriptors",
                                     "Open file descriptors of the process.",
                                     [] { return static_cast<double>(OpenDescriptors()); })),
      descriptorLimit_(r.AddCallback(Registry::Type::kGauge, "pigeonbox_descriptor_limit",
                                     "The process's open-file limit (-1: unlimited).",
                                     DescriptorLimit)) {}

bool ServerMetrics::Healthy() const {
  return appServerConnected.Value() == 1 && serviceRunning.Value() == 1;
}

ServerMetrics& Server() {
  static ServerMetrics* const metrics = new ServerMetrics(ProcessRegistry());
  return *metrics;
}

Counter& RequestCounter(std::string_view command) {
  Server();  // the family keeps its place among the server's metrics
  return ProcessRegistry().AddCounter(kRequests, kRequestsHelp,
                                      {{"command", std::string(command)}});
}

}  // namespace pigeonbox::metrics
