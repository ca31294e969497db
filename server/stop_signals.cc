#include "server/stop_signals.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace pigeonbox {
namespace {

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockStopSignals() {
  // A shell starts background jobs with SIGINT ignored, and an ignored signal is discarded even
  // while blocked: the watcher would never see it.
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  const sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

StopSignalWatcher::StopSignalWatcher(std::stop_source stop, LogFile& log)
    : stop_(std::move(stop)), log_(log) {
  const sigset_t set = WatchedSignals();
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread(&StopSignalWatcher::Watch, this);
}

StopSignalWatcher::~StopSignalWatcher() {
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) != sizeof one) {
    // Cannot fail on an eventfd far from its limit.
  }
  thread_.join();
  close(signalFd_);
  close(wakeFd_);
}

void StopSignalWatcher::Watch() {
  pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;  // a descriptor is missing: the signals stay pending, the stop comes by kill -9
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info;
    if (read(signalFd_, &info, sizeof info) != sizeof info) continue;
    if (info.ssi_signo == SIGHUP) {
      LogFile::ReopenAll();
      log_.Log(u"收到SIGHUP，日志文件已重新打开");
    } else {
      stop_.request_stop();
    }
  }
}

void WaitForStopRequest(std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any requested;
  std::unique_lock lock(mutex);
  requested.wait(lock, stop, [] { return false; });
}

}  // namespace pigeonbox
