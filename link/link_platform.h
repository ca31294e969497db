// The two process-level effects of the application-server watchdog, injectable so a test can run
// the watchdog without waiting or ending the test process.
#pragma once

#include <chrono>

#include "base/sleeper.h"

namespace pigeonbox {

// Sleep comes from Sleeper; a test double records it instead of waiting.
class LinkPlatform : public Sleeper {
 public:
  // Ends the process with `code`. A test double may return; the caller then returns too.
  virtual void ExitProcess(int code) = 0;
};

// Sleeps the calling thread; ends the process at once with _exit (the log file is written
// unbuffered, so nothing is lost, and no destructor runs under the library threads' feet).
class SystemLinkPlatform final : public LinkPlatform {
 public:
  static SystemLinkPlatform& Instance();
  void Sleep(std::chrono::milliseconds duration) override;
  void ExitProcess(int code) override;
};

}  // namespace pigeonbox
