// The process-wide array of 500 re-entrant locks that serialises all work on one owner's files.
//
// The stripe of an owner is NameHash(lower-cased owner) % 500, so every spelling that selects one
// person file selects one stripe, and a person and a group owner of the same name share it.
// The store manager, the invalid-user sweep and the file-transfer reads all take these stripes;
// no caller ever holds two, so there is no lock order to keep. Re-entrant because a deletion
// takes the stripe again inside an operation that already holds it.
#pragma once

#include <array>
#include <mutex>
#include <string_view>

namespace pigeonbox {

class StoreLockStripes {
 public:
  static constexpr int kStripeCount = 500;

  // The one instance of the process; constructed on first use, lives until exit.
  static StoreLockStripes& Instance();

  static int StripeOf(std::u16string_view owner);

  std::recursive_mutex& ForOwner(std::u16string_view owner) { return stripes_[StripeOf(owner)]; }
  std::recursive_mutex& ForStripe(int stripe) { return stripes_[stripe]; }

 private:
  StoreLockStripes() = default;
  std::array<std::recursive_mutex, kStripeCount> stripes_;
};

// Holds the stripe of one owner for the lifetime of the object.
class OwnerLock {
 public:
  explicit OwnerLock(std::u16string_view owner)
      : lock_(StoreLockStripes::Instance().ForOwner(owner)) {}

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};

}  // namespace pigeonbox
