#include "server/service_host.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "base/text.h"
#include "config/install_root.h"
#include "config/settings.h"
#include "link/offmsg_app.h"
#include "server/config_check.h"
#include "server/open_file_limit.h"
#include "server/server_factory.h"
#include "server/service_notify.h"
#include "server/start_failure.h"
#include "server/stop_signals.h"
#include "server/switches.h"
#include "server/systemd_unit.h"
#include "service/sys_log.h"
#include "store/store_root_lock.h"

namespace pigeonbox {
namespace {

constexpr char kServiceName[] = "Pigeonbox";

std::string ExecutablePath() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

// Who holds the store, or why the lock could not be taken.
std::string LockFailure(const StoreRootLock& lock, int error) {
  if (error != EWOULDBLOCK) return std::strerror(error);
  std::string holder = StoreRootLock::ReadHolder(lock.path());
  return holder.empty() ? "another process" : holder;
}

}  // namespace

ServiceHost::ServiceHost(std::string installRoot) : installRoot_(std::move(installRoot)) {}

int ServiceHost::Main(int argc, char** argv) {
  Switch registration = Switch::kNone;
  bool checkConfig = false;
  if (std::optional<int> done = ReadCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                                &registration, &checkConfig)) {
    return *done;
  }
  if (checkConfig) return RunConfigurationCheck(installRoot_, std::cout);
  switch (registration) {
    case Switch::kUnregServer:
    case Switch::kRegServer:
      return Register(false);
    case Switch::kService:
      return Register(true);
    case Switch::kNone:
      break;
  }
  // Service mode whenever systemd listens for status reports, whatever unit started the process
  // (the package's, one written by -Service, a renamed copy); console mode otherwise.
  isService_ = ServiceManagerListens();
  if (isService_) openlog(kServiceName, LOG_PID, LOG_DAEMON);
  const int code = Run();
  if (isService_) {
    ReportEvent("Service stopped");
    closelog();
  }
  return code;
}

int ServiceHost::Register(bool install) {
  std::string error;
  bool removed = false;
  int result = RemoveUnit(&error, &removed);
  if (result == 0) {
    std::cout << kServiceName << ": " << (removed ? "removed " : "no unit to remove at ")
              << UnitPath() << "\n";
  }
  if (result == 0 && install) {
    const std::string exe = ExecutablePath();
    if (exe.empty()) {
      error = "Couldn't create service: the executable's path is unknown";
      result = 1;
    } else {
      result = InstallUnit({.exePath = exe, .installRoot = installRoot_, .user = {}}, &error);
      if (result == 0) std::cout << kServiceName << ": wrote " << UnitPath() << "\n";
    }
  }
  if (result != 0) std::cerr << kServiceName << ": " << error << "\n";
  return result;
}

void ServiceHost::ReportEvent(std::string_view text) {
  if (isService_) {
    syslog(LOG_INFO, "%.*s", static_cast<int>(text.size()), text.data());
  } else {
    std::cerr << text << std::endl;
  }
}

int ServiceHost::Run() {
  const LogTranscript transcript(installRoot_ + "Logs/Pigeonbox.log");
  // Read once, before the first line: the count of log archives kept is one of the settings, and
  // the first line may already rotate. The link's log takes the same count.
  ServerSettings settings = ReadServerSettings(installRoot_);
  log_.SetArchivesKept(settings.log.archivesKept);
  if (!log_.Open(installRoot_ + "Logs/", "Pigeonbox.log")) {
    ReportEvent("Cannot open the log file " + transcript.path());
  }
  log_.Log(u"开始启动服务。");
  // A root that is not there is said as such, not as a store in use or a missing file.
  if (!InstallRootExists(installRoot_)) {
    return FailStart("the install root " + installRoot_ + " does not exist", transcript);
  }
  for (const Finding& finding : settings.findings) {
    log_.Log(u"configuration: %s", FromUtf8(finding.Text()));
  }
  // From here a stop signal is seen at once, also during the start: the start checks for it
  // between its steps and ends its waits on the peers.
  std::stop_source stop;
  StopSignalWatcher signals(stop, log_);
  RaiseOpenFileLimit(log_);

  // Two servers on one store would corrupt it; the lock is held until Run returns.
  StoreRootLock rootLock;
  const int locked = rootLock.TryLock(installRoot_, "pigeonbox pid " + std::to_string(getpid()));
  if (locked != 0) {
    const std::string holder = LockFailure(rootLock, locked);
    log_.Log(u"存储目录已被占用（%s），服务不能启动", FromUtf8(holder));
    return FailStart("the store is in use: " + holder, transcript);
  }

  // Declared before the link, which borrows them.
  SysLog sysLog;
  ServerServiceFactory factory(installRoot_, std::move(settings), log_, &sysLog, stop.get_token());
  LinkEnvironment env;
  env.installRoot = installRoot_;
  env.app = factory.settings().app;
  env.factory = &factory;
  env.sysLog = &sysLog;
  env.stop = stop.get_token();
  env.logArchivesKept = factory.settings().log.archivesKept;
  std::unique_ptr<OffMsgApp> link;
  const int started = OffMsgApp::StartLink(env, &link);
  if (started != OffMsgApp::kStarted && started != OffMsgApp::kStopRequested) {
    // The link has logged why. Nothing to release but the link itself.
    std::string reason = LinkStartFailure(started, link ? &link->config() : nullptr);
    // A configuration that cannot work is the cause to name, not the step it broke.
    for (const Finding& finding : factory.settings().findings) {
      if (finding.stopsStart) {
        reason = finding.Text() + " (" + reason + ")";
        break;
      }
    }
    if (link) {
      log_.Log(u"开始停止服务。");
      link->Stop();
      log_.Log(u"开始释放资源。");
      link.reset();
    }
    return FailStart(reason, transcript);
  }
  // Only now: the store, the database and the link are known to work.
  if (started == OffMsgApp::kStarted && !stop.stop_requested()) {
    ReportEvent("Service started");
    if (isService_) NotifyServiceManager("READY=1\nSTATUS=running");
  }

  WaitForStopRequest(stop.get_token());
  if (isService_) NotifyServiceManager("STOPPING=1\nSTATUS=stopping");
  log_.Log(u"开始停止服务。");
  link->Stop();
  log_.Log(u"开始释放资源。");
  link.reset();
  // Sockets, the running-object table and the component services need no release here; the
  // steps keep their lines so the log reads the same on every platform.
  log_.Log(u"开始释放网络资源。");
  log_.Log(u"开始释放运行对象服务");
  log_.Log(u"开始释放组件服务");
  log_.Log(u"退出完毕。");
  return 0;
}

int ServiceHost::FailStart(const std::string& reason, const LogTranscript& transcript) {
  // The stop sequence of a failed start leaves out the last steps; this line closes it, so the
  // log does not read as if the process had stopped half-way.
  log_.Log(u"服务启动失败，进程退出。");
  // On the console in both modes: under systemd stderr goes to the journal.
  PrintStartFailure(std::cerr, reason, transcript);
  return 1;
}

}  // namespace pigeonbox
