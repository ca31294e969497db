#include "store/kept_files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pigeonbox {
namespace {

// An eighth of the descriptor limit, so that connections and logs keep plenty.
size_t CapacityFromLimit() {
  rlimit limit{};
  rlim_t soft = 1024;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    soft = limit.rlim_cur;
  return std::clamp<size_t>(static_cast<size_t>(soft / 8), 16, 1024);
}

bool IsBelow(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0;
}

}  // namespace

KeptFiles::Descriptor::~Descriptor() {
  ::close(fd_);
}

KeptFiles::KeptFiles() : capacity_(CapacityFromLimit()) {}

KeptFiles& KeptFiles::Process() {
  static KeptFiles* table = new KeptFiles();  // never destroyed: used until the process ends
  return *table;
}

void KeptFiles::Keep(const std::string& dir) {
  MutexLock lock(mutex_);
  for (auto& [kept, count] : dirs_) {
    if (kept == dir) {
      ++count;
      return;
    }
  }
  dirs_.emplace_back(dir, 1);
}

void KeptFiles::Release(const std::string& dir) {
  MutexLock lock(mutex_);
  auto it = std::find_if(dirs_.begin(), dirs_.end(), [&](const auto& d) { return d.first == dir; });
  if (it == dirs_.end() || --it->second > 0) return;
  dirs_.erase(it);
  ++generation_;
  for (auto slot = table_.begin(); slot != table_.end();) {
    if (IsBelow(slot->first, dir)) {
      EraseLocked(slot++);
    } else {
      ++slot;
    }
  }
}

size_t KeptFiles::CoveringLengthLocked(const std::string& path) const {
  for (const auto& [dir, count] : dirs_) {
    if (IsBelow(path, dir)) return dir.size();
  }
  return 0;
}

int KeptFiles::Open(const std::string& path, bool create, Handle* handle) {
  uint64_t generation = 0;
  {
    MutexLock lock(mutex_);
    if (CoveringLengthLocked(path) == 0) return kNotCovered;
    if (auto it = table_.find(path); it != table_.end()) {
      lru_.splice(lru_.begin(), lru_, it->second.age);
      *handle = it->second.handle;
      return 0;
    }
    generation = generation_;
  }
  const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
    {
      // The kept descriptors may be what the process lacks: give them back and try again.
      MutexLock lock(mutex_);
      CloseAllLocked();
    }
    fd = ::open(path.c_str(), flags, 0644);
  }
  if (fd < 0) return errno;
  auto opened = std::make_shared<const Descriptor>(fd);
  MutexLock lock(mutex_);
  // A name that changed meanwhile may no longer name what was opened: use it this once only.
  if (generation == generation_ && !table_.contains(path)) {
    PutLocked(path, opened);
  }
  *handle = std::move(opened);
  return 0;
}

void KeptFiles::Removed(const std::string& path) {
  MutexLock lock(mutex_);
  ++generation_;
  TakeLocked(path);
}

void KeptFiles::Changed(const std::string& path) {
  Removed(path);  // the file stays; a later open finds it with its size unknown
}

void KeptFiles::Renamed(const std::string& from, const std::string& to, bool done) {
  MutexLock lock(mutex_);
  ++generation_;
  Handle moved = TakeLocked(from);
  TakeLocked(to);
  if (!done) return;  // nothing changed
  // A name that was no kept file may have been a directory with kept files below it.
  if (!moved) DropBelowLocked(from);
  if (moved) PutLocked(to, std::move(moved));
}

void KeptFiles::Exchanged(const std::string& a, const std::string& b, bool done) {
  MutexLock lock(mutex_);
  ++generation_;
  auto first = table_.find(a), second = table_.find(b);
  // Two kept files swapped their names (a save): so do their descriptors.
  if (done && first != table_.end() && second != table_.end()) {
    std::swap(first->second.handle, second->second.handle);
    return;
  }
  Handle atA = TakeLocked(a), atB = TakeLocked(b);
  if (!done) return;  // nothing changed
  if (!atA) DropBelowLocked(a);
  if (!atB) DropBelowLocked(b);
  if (atA) PutLocked(b, std::move(atA));
  if (atB) PutLocked(a, std::move(atB));
}

KeptFiles::Handle KeptFiles::TakeLocked(const std::string& path) {
  auto it = table_.find(path);
  if (it == table_.end()) return nullptr;
  Handle handle = std::move(it->second.handle);
  EraseLocked(it);
  return handle;
}

void KeptFiles::PutLocked(const std::string& path, Handle handle) {
  const size_t dirLength = CoveringLengthLocked(path);
  if (dirLength == 0) return;
  auto [it, added] = table_.try_emplace(path);
  if (added) {
    it->second.dirLength = dirLength;
    CountBetweenLocked(path, dirLength, +1);
  } else {
    lru_.erase(it->second.age);
  }
  it->second.handle = std::move(handle);
  lru_.push_front(&it->first);
  it->second.age = lru_.begin();
  while (table_.size() > capacity_) EraseLocked(table_.find(*lru_.back()));
}

void KeptFiles::CountBetweenLocked(const std::string& path, size_t dirLength, int delta) {
  for (size_t slash = path.find('/', dirLength); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    auto [it, added] = between_.try_emplace(path.substr(0, slash), 0);
    if ((it->second += delta) == 0) between_.erase(it);
  }
}

void KeptFiles::DropBelowLocked(const std::string& path) {
  const std::string below = path + "/";
  // Most names are plain files: only a kept directory, one above it, or one between it and
  // kept files can have any below it.
  bool mayHold = between_.contains(path);
  for (const auto& [dir, count] : dirs_)
    mayHold = mayHold || dir.compare(0, below.size(), below) == 0;
  if (!mayHold) return;
  for (auto it = table_.begin(); it != table_.end();) {
    if (IsBelow(it->first, below)) {
      EraseLocked(it++);
    } else {
      ++it;
    }
  }
}

void KeptFiles::EraseLocked(Table::iterator it) {
  CountBetweenLocked(it->first, it->second.dirLength, -1);
  lru_.erase(it->second.age);
  table_.erase(it);
}

void KeptFiles::CloseAllLocked() {
  table_.clear();
  lru_.clear();
  between_.clear();
}

size_t KeptFiles::KeptCount() const {
  MutexLock lock(mutex_);
  return table_.size();
}

}  // namespace pigeonbox
