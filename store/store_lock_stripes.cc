#include "store/store_lock_stripes.h"

#include "store/store_paths.h"

namespace pigeonbox {

int StoreLockStripes::StripeOf(std::u16string_view owner) {
  return LowerNameHash(owner) % kStripeCount;
}

OwnerLock::OwnerLock(StoreLockStripes& stripes, std::u16string_view owner)
    : stripes_(stripes),
      stripe_(StoreLockStripes::StripeOf(owner)),
      lock_(stripes.ForStripe(stripe_)) {}

bool OwnerLock::Covers(const StoreLockStripes& stripes, std::u16string_view owner) const {
  return &stripes == &stripes_ && StoreLockStripes::StripeOf(owner) == stripe_;
}

}  // namespace pigeonbox
