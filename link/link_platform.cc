#include "link/link_platform.h"

#include <unistd.h>

#include <cstdio>

namespace pigeonbox {

void SystemLinkPlatform::Sleep(std::chrono::milliseconds duration) {
  MutexLock lock(mutex_);
  lock.WaitFor(wake_, duration, [this]() REQUIRES(mutex_) { return interrupted_; });
}

void SystemLinkPlatform::Interrupt() {
  {
    MutexLock lock(mutex_);
    interrupted_ = true;
  }
  wake_.notify_all();
}

void SystemLinkPlatform::ExitProcess(int code) {
  std::fflush(nullptr);
  _exit(code);
}

}  // namespace pigeonbox
