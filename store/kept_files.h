// Descriptors of store files kept open between calls, for the one process that changes them.
//
// On this kind of machine opening and closing a file costs more than the read or write between
// them, and an owner's files are used again and again while the owner is online. A process that
// alone changes the files below a directory (the holder of the store root lock) may keep them
// open: the table follows every removal, rename and exchange that PosixFileSystem makes, and all
// its instances share the one table as they share the process's descriptors, so a kept
// descriptor always refers to the file its path names. Files are opened for reading and writing
// (without O_APPEND, so positioned writes land where they are asked to).
//
// Bounded by a share of the process's descriptor limit, least recently used going first; a
// descriptor in use stays open until its user lets go. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"

namespace pigeonbox {

class KeptFiles {
 public:
  // One open descriptor, closed when the table and every user have let go of it.
  class Descriptor {
   public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

    // The file's size as the last complete write through this descriptor left it; -1 when not
    // known (nothing written yet, a write failed part way). It holds because only this process
    // changes kept files, a size follows its descriptor through every change of names, and a
    // change of a kept file by name drops its descriptor (Changed); a save or append then
    // spares asking the file system.
    int64_t knownSize() const { return knownSize_.load(std::memory_order_relaxed); }
    void setKnownSize(int64_t size) const { knownSize_.store(size, std::memory_order_relaxed); }

   private:
    const int fd_;
    mutable std::atomic<int64_t> knownSize_{-1};
  };
  using Handle = std::shared_ptr<const Descriptor>;

  // The table of this process.
  static KeptFiles& Process();

  // Files below `dir` (a path ending in "/") are kept from now on; each Keep needs one Release,
  // the last of which closes what is kept below it.
  void Keep(const std::string& dir);
  void Release(const std::string& dir);

  // What Open returns for a path below no kept directory.
  static constexpr int kNotCovered = -1;
  // A read-write descriptor of `path`, kept or opened now (and then kept); `create` creates a
  // missing file. 0; kNotCovered; or the errno of the open.
  int Open(const std::string& path, bool create, Handle* handle);

  // What happened to a name through the file system (any outcome: a failed call only costs a
  // later open). A rename or exchange of a directory drops everything below it.
  void Removed(const std::string& path);
  // `done`: the call succeeded, so the names moved (a failed one drops both).
  void Renamed(const std::string& from, const std::string& to, bool done);
  void Exchanged(const std::string& a, const std::string& b, bool done);
  // The file was written or cut by name, past its kept descriptor: that descriptor goes.
  void Changed(const std::string& path);

  // Descriptors held now (for tests).
  size_t KeptCount() const;

 private:
  KeptFiles();
  struct Slot {
    Handle handle;
    size_t dirLength = 0;                         // of the kept directory it lies below
    std::list<const std::string*>::iterator age;  // points at the key
  };
  using Table = std::unordered_map<std::string, Slot>;

  // The length of the kept directory `path` lies below; 0 for none.
  size_t CoveringLengthLocked(const std::string& path) const REQUIRES(mutex_);
  // Counts a kept file in (or out of) each directory between its kept directory and itself.
  void CountBetweenLocked(const std::string& path, size_t dirLength, int delta) REQUIRES(mutex_);
  Handle TakeLocked(const std::string& path) REQUIRES(mutex_);
  // Keeps the descriptor as `path`'s, the least recently used going while over the capacity.
  void PutLocked(const std::string& path, Handle handle) REQUIRES(mutex_);
  // Drops everything below `path` as a directory.
  void DropBelowLocked(const std::string& path) REQUIRES(mutex_);
  void EraseLocked(Table::iterator it) REQUIRES(mutex_);
  void CloseAllLocked() REQUIRES(mutex_);

  const size_t capacity_;
  mutable Mutex mutex_;
  std::vector<std::pair<std::string, int>> dirs_ GUARDED_BY(mutex_);  // kept directory, Keep count
  Table table_ GUARDED_BY(mutex_);
  std::list<const std::string*> lru_ GUARDED_BY(mutex_);  // most recently used first
  // Directories between a kept directory and kept files (no trailing "/"), with the number of
  // kept files below each.
  std::unordered_map<std::string, int> between_ GUARDED_BY(mutex_);
  // Counts every change of names, so that a descriptor opened while a name changed is not kept.
  uint64_t generation_ GUARDED_BY(mutex_) = 0;
};

}  // namespace pigeonbox
