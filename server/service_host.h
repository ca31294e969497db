// The service host: what the pigeonbox process does from its command line to its exit.
//
// With a registration switch it installs or removes the systemd unit and ends. Otherwise it runs
// the server: in service mode when systemd started the process (NOTIFY_SOCKET set; status reports
// go to systemd, events to syslog), in console mode otherwise (events on stderr). "Service
// started" is reported only once the start has succeeded; a failed start prints its reason and
// the log's path on stderr and ends with exit code 1. The main thread starts the
// application-server link, tells systemd it is ready, waits for SIGTERM or SIGINT (SIGHUP
// reopens the log files) and then takes everything down in a fixed order, with one log line per
// step. A stop signal that comes during the start ends the start early and leads to
// the same stop sequence (no READY=1 then).
//
// Everything runs on the main thread but the reading of the signals (stop_signals.h).
#pragma once

#include <string>
#include <string_view>

#include "server/start_failure.h"
#include "service/log_file.h"

namespace pigeonbox {

class ServiceHost {
 public:
  // `installRoot` ends in "/".
  explicit ServiceHost(std::string installRoot);

  // The whole process: the switch of the command line, or the run. Returns the exit code.
  int Main(int argc, char** argv);

  // Runs the server until a stop signal. 0 after a clean stop, 1 when the start failed.
  int Run();

 private:
  int Register(bool install);
  // In service mode to syslog, otherwise to stderr.
  void ReportEvent(std::string_view text);
  // Ends a failed start: its last log line, the reason and the log on stderr. Returns 1.
  int FailStart(const std::string& reason, const LogTranscript& transcript);

  const std::string installRoot_;
  bool isService_ = false;
  LogFile log_;
};

}  // namespace pigeonbox
