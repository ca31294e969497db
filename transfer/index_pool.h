// The free connection slot indexes of CIOLayer: a ring, so taking and giving an index costs
// constant time. Fresh indexes come out in ascending order, freed ones in the order they were
// given back. Thread-safe; its lock is taken inside a slot lock when a slot closes.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "base/mutex.h"

namespace pigeonbox {

class IndexPool {
 public:
  // An empty pool for the indexes 0 ... capacity - 1.
  explicit IndexPool(int capacity);

  // The index at the head of the ring, now marked in use; -1 when none is free.
  int Take();
  // Returns an index taken earlier; an index out of range or not in use is ignored, so a double
  // give can never hand one slot to two connections.
  void Give(int index);
  // Adds the free indexes first ... last in order.
  void Fill(int first, int last);
  int free_count() const;

 private:
  void PushLocked(int index) REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::vector<int32_t> ring_ GUARDED_BY(mutex_);
  std::vector<uint8_t> inUse_ GUARDED_BY(mutex_);
  int head_ GUARDED_BY(mutex_) = 0;
  int tail_ GUARDED_BY(mutex_) = 0;
  int count_ GUARDED_BY(mutex_) = 0;
};

}  // namespace pigeonbox
