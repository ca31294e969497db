#include "store/store_root_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pigeonbox {
namespace {

constexpr size_t kMaxHolderBytes = 256;

std::string StoreDirOf(const std::string& installRoot) {
  std::string dir = installRoot;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + "OffMsg";
}

}  // namespace

StoreRootLock::~StoreRootLock() {
  Unlock();
}

std::string StoreRootLock::LockPath(const std::string& installRoot) {
  return StoreDirOf(installRoot) + "/.lock";
}

int StoreRootLock::TryLock(const std::string& installRoot, const std::string& holder) {
  if (held()) return 0;
  path_ = LockPath(installRoot);
  if (::mkdir(StoreDirOf(installRoot).c_str(), 0755) != 0 && errno != EEXIST) return errno;
  int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    ::close(fd);
    return error;
  }
  fd_ = fd;
  // The holder line is only informative; a failure to write it does not give the lock up.
  std::string line = holder.substr(0, kMaxHolderBytes) + "\n";
  if (::ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] ssize_t ignored = ::pwrite(fd_, line.data(), line.size(), 0);
  }
  return 0;
}

void StoreRootLock::Unlock() {
  if (fd_ < 0) return;
  // Leaving the holder line would name a holder that is gone.
  [[maybe_unused]] int ignored = ::ftruncate(fd_, 0);
  ::close(fd_);  // closing the last descriptor of the description drops the flock
  fd_ = -1;
}

std::string StoreRootLock::ReadHolder(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[kMaxHolderBytes + 1];
  ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
  ::close(fd);
  if (n <= 0) return {};
  std::string text(buffer, static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace pigeonbox
