#include "server/server_factory.h"

#include <unistd.h>

#include "base/text.h"
#include "confcentre/config_centre_wrapper.h"
#include "metrics/server_metrics.h"
#include "offmsg/odbc_user_database.h"
#include "offmsg/offmsg_service.h"
#include "transfer/dockhand.h"

namespace pigeonbox {
namespace {

// The endpoint on the address of the setting MetricsListen; null when the setting is absent or
// empty (metrics off) and, with a log line, when it cannot be used.
std::unique_ptr<metrics::HttpEndpoint> StartMetrics(const MetricsSettings& settings, LogFile& log) {
  const std::u16string& setting = settings.listen;
  if (setting.empty()) return nullptr;
  const std::optional<metrics::ListenAddress> address =
      metrics::ParseListenAddress(ToUtf8(setting));
  if (!address) {
    log.Log(
        u"Metrics off: MetricsListen=\"%s\" is not a numeric address and port such as "
        u"127.0.0.1:9464",
        setting);
    return nullptr;
  }
  auto endpoint = std::make_unique<metrics::HttpEndpoint>(
      metrics::ProcessRegistry(), [] { return metrics::Server().Healthy(); });
  std::string error;
  if (!endpoint->Start(*address, &error)) {
    log.Log(u"Metrics off: cannot listen on %s: %s", setting, FromUtf8(error));
    return nullptr;
  }
  log.Log(u"Metrics on http://%s/metrics, health on /healthz",
          FromUtf8(metrics::FormatListenAddress(*address, endpoint->port())));
  return endpoint;
}

}  // namespace

ServerServiceFactory::ServerServiceFactory(std::string installRoot, ServerSettings settings,
                                           LogFile& log, SysLog* sysLog, std::stop_token stop)
    : installRoot_(std::move(installRoot)),
      settings_(std::move(settings)),
      log_(log),
      sysLog_(sysLog),
      stop_(std::move(stop)),
      metrics_(StartMetrics(settings_.metrics, log_)) {}

std::unique_ptr<MessageService> ServerServiceFactory::CreateMessageService(LinkOwner& owner) {
  OffMsgServiceEnv env;
  env.installRoot = installRoot_;
  env.settings = settings_.offmsg;
  env.fs = &fs_;
  env.stripes = &stripes_;
  env.log = &log_;
  env.sysLog = sysLog_;
  env.stop = stop_;
  env.openDatabase = [root = installRoot_, timeouts = settings_.offmsg.database.timeouts](
                         const std::string& connection, LogFile& log) {
    // Relative paths of the connection string (a database file, a driver) are taken from the
    // executable's directory, as the server has always done.
    if (chdir((root + "bin").c_str()) != 0) {
      // No bin/ directory: relative paths then start from where the server was started.
    }
    return OpenOdbcUserDatabase(connection, log, timeouts);
  };
  return std::make_unique<OffMsgService>(owner, std::move(env));
}

std::unique_ptr<ConfigCentreClient> ServerServiceFactory::CreateConfigCentre(
    ConfigChangeListener& listener) {
  return std::make_unique<ConfigCentreWrapper>(installRoot_, settings_.centre, listener, &log_,
                                               ConfigCentreWrapper::Timing{}, stop_);
}

std::unique_ptr<TransferService> ServerServiceFactory::CreateTransferService() {
  DockhandEnv env;
  env.installRoot = installRoot_;
  env.settings = settings_.transfer;
  env.log = &log_;
  env.sysLog = sysLog_;
  env.fs = &fs_;            // the store's file layer: downloads read the store's files
  env.stripes = &stripes_;  // and choose them under the stripes the store changes them under
  return std::make_unique<Dockhand>(std::move(env));
}

}  // namespace pigeonbox
