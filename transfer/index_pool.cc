#include "transfer/index_pool.h"

namespace pigeonbox {

IndexPool::IndexPool(int capacity) : ring_(capacity), inUse_(capacity, 0) {}

int IndexPool::Take() {
  MutexLock lock(mutex_);
  if (count_ == 0) return -1;
  const int index = ring_[head_];
  head_ = (head_ + 1) % static_cast<int>(ring_.size());
  --count_;
  inUse_[index] = 1;
  return index;
}

void IndexPool::Give(int index) {
  MutexLock lock(mutex_);
  if (index < 0 || index >= static_cast<int>(ring_.size()) || !inUse_[index]) return;
  inUse_[index] = 0;
  PushLocked(index);
}

void IndexPool::Fill(int first, int last) {
  MutexLock lock(mutex_);
  for (int index = first; index <= last; ++index) {
    if (index < 0 || index >= static_cast<int>(ring_.size()) || inUse_[index]) continue;
    PushLocked(index);
  }
}

int IndexPool::free_count() const {
  MutexLock lock(mutex_);
  return count_;
}

void IndexPool::PushLocked(int index) {
  if (count_ == static_cast<int>(ring_.size())) return;
  ring_[tail_] = index;
  tail_ = (tail_ + 1) % static_cast<int>(ring_.size());
  ++count_;
}

}  // namespace pigeonbox
