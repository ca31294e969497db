#include "link/link_platform.h"

#include <unistd.h>

#include <cstdio>
#include <thread>

namespace pigeonbox {

SystemLinkPlatform& SystemLinkPlatform::Instance() {
  static SystemLinkPlatform platform;
  return platform;
}

void SystemLinkPlatform::Sleep(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

void SystemLinkPlatform::ExitProcess(int code) {
  std::fflush(nullptr);
  _exit(code);
}

}  // namespace pigeonbox
