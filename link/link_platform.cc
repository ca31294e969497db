#include "link/link_platform.h"

#include <unistd.h>

#include <cstdio>

namespace pigeonbox {

void SystemLinkPlatform::Sleep(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, duration, [this] { return interrupted_; });
}

void SystemLinkPlatform::Interrupt() {
  {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
  }
  wake_.notify_all();
}

void SystemLinkPlatform::ExitProcess(int code) {
  std::fflush(nullptr);
  _exit(code);
}

}  // namespace pigeonbox
