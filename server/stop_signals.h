// The signals that stop the server: SIGTERM (the service manager's stop) and SIGINT (Ctrl-C on a
// console), and SIGHUP, which reopens the log files for a log rotator instead of ending the
// process without the stop sequence.
//
// They are blocked in every thread (BlockStopSignals, first thing in main, before any other
// thread exists) and read by one watcher thread, so a stop is seen at once also while the main
// thread is busy starting the server.
#pragma once

#include <signal.h>

#include <stop_token>
#include <thread>

#include "service/log_file.h"

namespace pigeonbox {

// Restores the default disposition of SIGTERM, SIGINT and SIGHUP and blocks them in the calling
// thread (and so in every thread it starts later); ignores SIGPIPE.
void BlockStopSignals();

// From construction to destruction, a thread of its own reads the blocked signals: SIGTERM or
// SIGINT requests a stop on `stop` (once; later ones are ignored), SIGHUP reopens every log file
// and logs that to `log`.
class StopSignalWatcher {
 public:
  StopSignalWatcher(std::stop_source stop, LogFile& log);
  // Ends and joins the thread; signals that come afterwards stay blocked.
  ~StopSignalWatcher();
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

 private:
  void Watch();

  std::stop_source stop_;
  LogFile& log_;
  int signalFd_ = -1;
  int wakeFd_ = -1;  // an eventfd that ends the thread
  std::thread thread_;
};

// Waits until a stop is requested on `stop` (at once when it has been).
void WaitForStopRequest(std::stop_token stop);

}  // namespace pigeonbox
