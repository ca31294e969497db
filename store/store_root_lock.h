// The advisory lock that tells a running server and the maintenance tool apart.
//
// The lock is an exclusive flock(2) on the file OffMsg/.lock below the install root (the name
// begins with "." so every directory walk of the store skips it). The server takes it at start
// and holds it for its whole run; the admin tool's changing verbs try to take it and refuse to
// touch the store while someone else holds it. The kernel drops the lock with the last
// descriptor of the holder, so a killed server never leaves a stale lock behind.
//
// flock locks belong to an open file description: two StoreRootLock objects of one process
// exclude each other like two processes do. The descriptor is opened close-on-exec, so a child
// started with exec does not inherit the lock. While the lock is held the file holds one line
// naming the holder, which a refused caller shows.
//
// One object is used by one thread at a time.
#pragma once

#include <string>

namespace pigeonbox {

class StoreRootLock {
 public:
  StoreRootLock() = default;
  ~StoreRootLock();
  StoreRootLock(const StoreRootLock&) = delete;
  StoreRootLock& operator=(const StoreRootLock&) = delete;

  // install root + "OffMsg/.lock" (a "/" is put between when the root lacks one).
  static std::string LockPath(const std::string& installRoot);

  // Takes the lock without waiting, creating OffMsg/ and the lock file when missing, and writes
  // `holder` (for example "pigeonbox-admin pid 42") into the file. 0 when taken; EWOULDBLOCK
  // when another description holds it; else the errno of the failing call (the root does not
  // exist, no permission ...). Taking a lock this object already holds returns 0.
  int TryLock(const std::string& installRoot, const std::string& holder);

  // Drops the lock (the file stays). Nothing happens when it is not held.
  void Unlock();

  bool held() const { return fd_ >= 0; }
  // The lock file of the last TryLock.
  const std::string& path() const { return path_; }

  // The holder line of the lock file at `path` (empty when it cannot be read). Meant for the
  // message of a refused caller; it may be stale or half-written.
  static std::string ReadHolder(const std::string& path);

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace pigeonbox
