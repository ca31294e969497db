// The two process-level effects of the application-server watchdog, injectable so a test can run
// the watchdog without waiting or ending the test process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/mutex.h"
#include "base/sleeper.h"

namespace pigeonbox {

// Sleep comes from Sleeper; a test double records it instead of waiting.
class LinkPlatform : public Sleeper {
 public:
  // Ends the process with `code`. A test double may return; the caller then returns too.
  virtual void ExitProcess(int code) = 0;
  // Ends a sleep in progress and lets later ones return at once: the link is going away, and
  // its stop must not wait out the watchdog's pauses.
  virtual void Interrupt() {}
};

// Sleeps the calling thread until the time is up or Interrupt is called; ends the process at once
// with _exit (the log file is written unbuffered, so nothing is lost, and no destructor runs under
// the library threads' feet). One per link.
class SystemLinkPlatform final : public LinkPlatform {
 public:
  void Sleep(std::chrono::milliseconds duration) override;
  void ExitProcess(int code) override;
  void Interrupt() override;

 private:
  Mutex mutex_;
  std::condition_variable wake_;
  bool interrupted_ GUARDED_BY(mutex_) = false;
};

}  // namespace pigeonbox
