#include "server/open_file_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <fstream>

namespace pigeonbox {
namespace {

// The kernel's ceiling for RLIMIT_NOFILE, which an unlimited hard limit stands for.
rlim_t KernelCeiling() {
  std::ifstream in("/proc/sys/fs/nr_open");
  rlim_t value = 0;
  return in >> value ? value : 1024 * 1024;
}

}  // namespace

uint64_t RaiseOpenFileLimit(LogFile& log) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    log.Log(u"读取打开文件数上限失败, errCode:%d", errno);
    return 0;
  }
  const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? KernelCeiling() : limit.rlim_max;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit = raised;
    } else {
      log.Log(u"提高打开文件数上限失败, errCode:%d", errno);
    }
  }
  log.Log(u"打开文件数上限: %I64d (硬上限 %I64d)", static_cast<int64_t>(limit.rlim_cur),
          static_cast<int64_t>(limit.rlim_max == RLIM_INFINITY ? wanted : limit.rlim_max));
  return limit.rlim_cur;
}

}  // namespace pigeonbox
