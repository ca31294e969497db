#include "server/server_factory.h"

#include <unistd.h>

#include "confcentre/config_centre_wrapper.h"
#include "offmsg/odbc_user_database.h"
#include "offmsg/offmsg_service.h"
#include "transfer/dockhand.h"

namespace pigeonbox {

ServerServiceFactory::ServerServiceFactory(std::string installRoot, LogFile& log, SysLog* sysLog,
                                           std::stop_token stop)
    : installRoot_(std::move(installRoot)), log_(log), sysLog_(sysLog), stop_(std::move(stop)) {}

std::unique_ptr<MessageService> ServerServiceFactory::CreateMessageService(LinkOwner& owner) {
  OffMsgServiceEnv env;
  env.installRoot = installRoot_;
  env.fs = &fs_;
  env.log = &log_;
  env.sysLog = sysLog_;
  env.stop = stop_;
  env.openDatabase = [root = installRoot_](const std::string& connection, LogFile& log) {
    // Relative paths of the connection string (a database file, a driver) are taken from the
    // executable's directory, as the server has always done.
    if (chdir((root + "bin").c_str()) != 0) {
      // No bin/ directory: relative paths then start from where the server was started.
    }
    return OpenOdbcUserDatabase(connection, log, OdbcTimeouts::Read(root));
  };
  return std::make_unique<OffMsgService>(owner, std::move(env));
}

std::unique_ptr<ConfigCentreClient> ServerServiceFactory::CreateConfigCentre(
    ConfigChangeListener& listener) {
  return std::make_unique<ConfigCentreWrapper>(installRoot_, listener, &log_,
                                               ConfigCentreWrapper::Timing{}, stop_);
}

std::unique_ptr<TransferService> ServerServiceFactory::CreateTransferService() {
  DockhandEnv env;
  env.installRoot = installRoot_;
  env.log = &log_;
  env.sysLog = sysLog_;
  return std::make_unique<Dockhand>(std::move(env));
}

}  // namespace pigeonbox
