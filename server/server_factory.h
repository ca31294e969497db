// The pieces the running server hands to the application-server link: the offline-message
// service over the real user database and file system, the configuration-centre client and the
// file-transfer service, each with its part of the settings read at start.
#pragma once

#include <memory>
#include <stop_token>
#include <string>

#include "config/settings.h"
#include "link/contracts/link_services.h"
#include "metrics/http_endpoint.h"
#include "service/log_file.h"
#include "service/sys_log.h"
#include "store/file_system.h"
#include "store/store_lock_stripes.h"

namespace pigeonbox {

class ServerServiceFactory final : public LinkServiceFactory {
 public:
  // `log` is the server's log (Logs/Pigeonbox.log) and `sysLog` (may be null) the channel of
  // its system-log events; both are borrowed and must outlive the factory and everything the
  // factory creates. A stop requested on `stop` ends the start's waits for the configuration
  // centre and the user database. Starts the metrics endpoint when the setting MetricsListen
  // names an address; one that is not usable is logged and leaves the metrics off. The endpoint
  // stops with the factory.
  ServerServiceFactory(std::string installRoot, ServerSettings settings, LogFile& log,
                       SysLog* sysLog, std::stop_token stop = {});

  const ServerSettings& settings() const { return settings_; }

  // OffMsgService with the ODBC user database; its Start opens the database, starts the
  // invalid-user sweep and the shrink scheduler and sets up the store.
  std::unique_ptr<MessageService> CreateMessageService(LinkOwner& owner) override;
  std::unique_ptr<ConfigCentreClient> CreateConfigCentre(ConfigChangeListener& listener) override;
  std::unique_ptr<TransferService> CreateTransferService() override;

 private:
  const std::string installRoot_;
  const ServerSettings settings_;
  LogFile& log_;
  SysLog* const sysLog_;
  const std::stop_token stop_;
  PosixFileSystem fs_;
  // The store's owner stripes, here because the file-transfer service that shares them outlives
  // the store (which comes and goes with the message service's start and stop).
  StoreLockStripes stripes_;
  std::unique_ptr<metrics::HttpEndpoint> metrics_;
};

}  // namespace pigeonbox
