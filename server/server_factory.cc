#include "server/server_factory.h"

#include <unistd.h>

#include "confcentre/config_centre_wrapper.h"
#include "offmsg/offmsg_service.h"

namespace pigeonbox {
namespace {

// Stands where the file-download service (Dockhand) will be: the download port is not part of
// this build yet, and the link refuses to start without a transfer service, so this one starts,
// says so in the log and does nothing else.
class DownloadPortNotBuilt final : public TransferService {
 public:
  explicit DownloadPortNotBuilt(LogFile& log) : log_(log) {}
  int Start() override {
    log_.Log(u"文件下载服务尚未接入本版本，下载端口未开启");
    return 1;
  }
  void Stop() override {}

 private:
  LogFile& log_;
};

}  // namespace

ServerServiceFactory::ServerServiceFactory(std::string installRoot, LogFile& log)
    : installRoot_(std::move(installRoot)), log_(log) {}

std::unique_ptr<MessageService> ServerServiceFactory::CreateMessageService(LinkOwner& owner) {
  OffMsgServiceEnv env;
  env.installRoot = installRoot_;
  env.fs = &fs_;
  env.log = &log_;
  env.openDatabase = [root = installRoot_](const std::string& connection, LogFile& log) {
    // Relative paths of the connection string (a database file, a driver) are taken from the
    // executable's directory, as the server has always done.
    if (chdir((root + "bin").c_str()) != 0) {
      // No bin/ directory: relative paths then start from where the server was started.
    }
    return OpenOdbcUserDatabase(connection, log);
  };
  return std::make_unique<OffMsgService>(owner, std::move(env));
}

std::unique_ptr<ConfigCentreClient> ServerServiceFactory::CreateConfigCentre(
    ConfigChangeListener& listener) {
  return std::make_unique<ConfigCentreWrapper>(installRoot_, listener, &log_);
}

// ---- Piece still to be wired: the file-transfer service.

std::unique_ptr<TransferService> ServerServiceFactory::CreateTransferService() {
  return std::make_unique<DownloadPortNotBuilt>(log_);
}

}  // namespace pigeonbox
