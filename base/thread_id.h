// The kernel's id of the calling thread, as the log lines show it.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

namespace pigeonbox {

inline int CurrentThreadId() {
  return static_cast<int>(::gettid());
}

}  // namespace pigeonbox
