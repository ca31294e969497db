// The 500 locks that serialise all work on one owner's files within one process.
//
// The stripe of an owner is NameHash(lower-cased owner) % 500, so every spelling that selects one
// person file selects one stripe, and a person and a group owner of the same name share it.
// The store manager owns the stripes it uses or borrows them from whoever wires the process
// together, who hands the same object to the file-transfer reads; the invalid-user sweep takes
// them through the store manager. No caller ever holds two, so there is no lock order to keep.
// The stripes are not re-entrant: a function that works on an owner's files with the stripe
// already held takes the caller's OwnerLock as its proof and never locks again.
#pragma once

#include <array>
#include <mutex>
#include <string_view>

namespace pigeonbox {

class StoreLockStripes {
 public:
  static constexpr int kStripeCount = 500;

  StoreLockStripes() = default;
  StoreLockStripes(const StoreLockStripes&) = delete;
  StoreLockStripes& operator=(const StoreLockStripes&) = delete;

  static int StripeOf(std::u16string_view owner);

  std::mutex& ForOwner(std::u16string_view owner) { return stripes_[StripeOf(owner)]; }
  std::mutex& ForStripe(int stripe) { return stripes_[stripe]; }

 private:
  std::array<std::mutex, kStripeCount> stripes_;
};

// Holds the stripe of one owner for the lifetime of the object. Passed by const reference to
// the functions that need the stripe held, it is their proof that the caller holds it.
class OwnerLock {
 public:
  OwnerLock(StoreLockStripes& stripes, std::u16string_view owner);
  OwnerLock(const OwnerLock&) = delete;
  OwnerLock& operator=(const OwnerLock&) = delete;

  // Whether this is the stripe of `owner` in `stripes` (for assertions).
  bool Covers(const StoreLockStripes& stripes, std::u16string_view owner) const;

 private:
  const StoreLockStripes& stripes_;
  const int stripe_;
  std::lock_guard<std::mutex> lock_;
};

}  // namespace pigeonbox
