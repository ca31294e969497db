// Test helper shared by the transfer tests and the download test of pigeonbox-cli: a Dockhand
// on a free loopback port over a temporary install root, with a manual clock, and tickets made
// with the root's service key.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "service/log_file.h"
#include "service/sys_log.h"
#include "store/store_lock_stripes.h"
#include "testutil/temp_dir.h"
#include "transfer/dockhand.h"
#include "transfer/ticket.h"
#include "transfer/transfer_client.h"

namespace pigeonbox::testutil {

struct SysLogRecord {
  uint32_t level;
  uint32_t eventId;
};

class SysLogRecorder final : public SysLogSink {
 public:
  void ReportSysLog(uint32_t level, std::u16string_view, uint32_t eventId,
                    std::u16string_view) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({level, eventId});
  }
  std::vector<uint32_t> ids() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> ids;
    for (const SysLogRecord& e : events_) ids.push_back(e.eventId);
    return ids;
  }

 private:
  std::mutex mutex_;
  std::vector<SysLogRecord> events_;
};

class TestDockhand {
 public:
  static constexpr int64_t kNow = 1'700'000'000;

  // Builds the service on port 0 (any free port), not started; downloads read through `fs`
  // (null: the real disk) and choose their file under `stripes`.
  explicit TestDockhand(int slotCount = 64, FileSystem* fs = nullptr) {
    log.Open(root.path() + "Logs", "Pigeonbox.log");
    sysLog.SetSink(&recorder);
    DockhandEnv env;
    env.installRoot = root.path();
    env.settings.port = 0;
    env.log = &log;
    env.sysLog = &sysLog;
    env.clock = &clock;
    env.fs = fs;
    env.stripes = &stripes;
    env.io.slotCount = slotCount;
    env.io.workerCount = 2;
    service = std::make_unique<Dockhand>(env);
  }
  ~TestDockhand() {
    service.reset();
    sysLog.SetSink(nullptr);
  }

  // A ticket of the root's service key; its session key goes to *ticketKey.
  std::vector<uint8_t> MakeTicket(uint32_t ticketId, uint32_t userId, TransferKey* ticketKey,
                                  uint32_t lifetime = 3600, uint32_t issued = kNow) {
    Ticket ticket{ticketId, userId, lifetime, issued, NewSessionKey()};
    *ticketKey = ticket.sessionKey;
    return SealTicket(ticket, LoadServiceKey(root.path()));
  }

  // Connects a client and starts a session for user 7; false when either fails.
  bool OpenSession(TransferClient& client) {
    std::string error;
    TransferKey key;
    const std::vector<uint8_t> ticket = MakeTicket(1, 7, &key);
    return client.Connect("127.0.0.1", service->port(), &error) &&
           client.StartSession(ticket, MakeAuthenticator(key, 1, 7, 0), key) == 0;
  }

  TempDir root;
  LogFile log;
  ManualClock clock{kNow};
  SysLogRecorder recorder;
  SysLog sysLog;
  StoreLockStripes stripes;
  std::unique_ptr<Dockhand> service;
};

}  // namespace pigeonbox::testutil
