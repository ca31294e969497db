// Everything the server takes from its two configuration files, read once at start:
// <root>AppConfig/AppOffMsg.xml (identity and the offline-message settings, attributes of
// App/Setting) and <root>Config/KVTServer.xml (addresses, identity, the user database).
//
// ReadServerSettings applies the long-standing rules for missing, odd and out-of-range values
// and hands every piece of the server its own plain struct; the pieces read no file themselves.
// Each value that a rule had to repair or ignore is also listed as a finding (see findings.h),
// which the server logs at start and `pigeonbox --check-config` prints.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "config/app_config.h"
#include "config/findings.h"
#include "config/server_config.h"

namespace pigeonbox {

// The store manager's settings.
struct StoreSettings {
  int32_t storeMaxCount = 99;           // "StoreMaxCount": person entries per owner
  int32_t storeDisGroupMaxCount = 300;  // "StoreDisGroupMaxCount": group entries; 0 = off
  bool syncWrites = false;              // "SyncWrites": index saves reach the device first
  int32_t indexCacheMB = 64;            // "IndexCacheMB": parsed index files kept; 0 = none
};

// The shrink scheduler's settings.
struct ShrinkSettings {
  // "disable", "daily", "weekly" or "monthly" (exact letter case); "disable" when the file or
  // its Setting element is missing, empty when only the attribute is (the thread then runs but
  // never shrinks).
  std::u16string mode = u"disable";
  // Files larger than this (bytes, unsigned) are shrunk. Missing: the largest value, so nothing
  // is shrunk (text files never reach 4 GB: their offsets are 32-bit).
  uint32_t fileSize = std::numeric_limits<uint32_t>::max();
  // Parts older than this (seconds) are dropped. Missing: infinity, nothing expires.
  double expireTime = std::numeric_limits<double>::infinity();

  // Whether the scheduler thread is started at all (any mode but exactly "disable").
  bool enabled() const { return mode != u"disable"; }
};

// The invalid-user sweep's settings.
struct SweepSettings {
  static constexpr int32_t kDefaultMaxSharePercent = 20;
  bool enabled = false;  // "bOpenLimit" > 0
  // "SweepMaxShare": the largest share of the owners on disk (percent) one sweep may remove.
  int32_t maxSharePercent = kDefaultMaxSharePercent;
};

// How long the ODBC driver may wait for the database, in seconds ("DbLoginTimeout",
// "DbQueryTimeout"; a missing, zero or negative value gives the default): a database host that
// does not answer must not hold the start or a night job for the minutes a TCP connection can
// take.
struct OdbcTimeouts {
  int32_t loginSeconds = 5;
  int32_t querySeconds = 5;
};

// The user database: DBServer/DB_Setting@DBConnstring of KVTServer.xml.
struct DatabaseSettings {
  static constexpr size_t kConnectionChars = 511;
  std::optional<std::u16string> connection;  // nullopt: missing or empty, the start fails
  OdbcTimeouts timeouts;
};

// The configuration centre's address (ConfigCenter/Basic_Setting), the service's GUID
// (Pigeonbox@GUID) and its configuration items (the children of Pigeonbox).
struct CentreSettings {
  static constexpr char16_t kDefaultAddress[] = u"127.0.0.1";
  static constexpr uint16_t kDefaultPort = 8016;
  std::u16string address = kDefaultAddress;
  uint16_t port = kDefaultPort;
  std::optional<std::u16string> guid;  // nullopt: not assigned yet
  std::vector<ConfigElem> items;
};

// The file-transfer service: Pigeonbox/Basic_Setting/TCPPort.
struct TransferSettings {
  static constexpr uint16_t kDefaultPort = 8015;
  uint16_t port = kDefaultPort;
};

// What the offline-message service hands to the pieces it starts.
struct OffMsgSettings {
  StoreSettings store;
  ShrinkSettings shrink;
  SweepSettings sweep;
  DatabaseSettings database;
};

// The server's log file.
struct LogSettings {
  // More archives than this are surely a typing mistake, not a wish.
  static constexpr int32_t kMaxArchivesKept = 100000;
  // "LogArchivesKept": archives a rotation leaves (a plain number up to kMaxArchivesKept).
  size_t archivesKept = 30;
};

// The metrics endpoint: "MetricsListen", an address and port such as 127.0.0.1:9464 (at most
// 64 characters); empty: no endpoint. Whether it is usable is judged where it is started.
struct MetricsSettings {
  static constexpr size_t kListenChars = 64;
  std::u16string listen;
};

struct ServerSettings {
  // The application's identity with the application server's address; nullopt when the file
  // cannot be read or lacks AppRegInfo or AppInfo (the start then fails).
  std::optional<AppConfig> app;
  OffMsgSettings offmsg;
  CentreSettings centre;
  TransferSettings transfer;
  LogSettings log;
  MetricsSettings metrics;
  // Every value a rule repaired or ignored, in file order.
  std::vector<Finding> findings;
};

// Reads both files once. Never fails: what cannot be read takes its default and is a finding.
ServerSettings ReadServerSettings(const std::string& installRoot);

}  // namespace pigeonbox
