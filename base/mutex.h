// Mutexes and scoped locks that clang's thread-safety analysis knows (base/thread_annotations.h):
// members marked GUARDED_BY(mutex_) may then only be touched with the lock held, and a
// function marked REQUIRES(mutex_) only be called so. They cost what std::mutex costs.
#pragma once

#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "base/thread_annotations.h"

namespace pigeonbox {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope; it may give it back early, and it waits on condition variables.
// A predicate that reads guarded members says so: [this]() REQUIRES(mutex_) { ... }.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() { lock_.unlock(); }
  void Lock() ACQUIRE() { lock_.lock(); }

  // Gives the mutex back while waiting; holds it again when they return.
  void Wait(std::condition_variable& cv) { cv.wait(lock_); }
  template <class Predicate>
  void Wait(std::condition_variable& cv, Predicate ready) {
    cv.wait(lock_, std::move(ready));
  }
  template <class Rep, class Period, class Predicate>
  bool WaitFor(std::condition_variable& cv, std::chrono::duration<Rep, Period> timeout,
               Predicate ready) {
    return cv.wait_for(lock_, timeout, std::move(ready));
  }
  template <class Clock, class Duration, class Predicate>
  bool WaitUntil(std::condition_variable& cv, std::chrono::time_point<Clock, Duration> deadline,
                 Predicate ready) {
    return cv.wait_until(lock_, deadline, std::move(ready));
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

// A mutex that many readers may hold at once, or one writer.
class CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a SharedMutex as its one writer, or as one of its readers, for its scope. Both are
// lockable, so they wait on a std::condition_variable_any.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~WriterLock() RELEASE() { mutex_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

  // For a condition_variable_any, which gives the mutex back while waiting.
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  SharedMutex& mutex_;
};

class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.lock_shared();
  }
  ~ReaderLock() RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

  // For a condition_variable_any, which gives the mutex back while waiting.
  void lock() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  SharedMutex& mutex_;
};

}  // namespace pigeonbox
