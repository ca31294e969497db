#include "store/store_lock_stripes.h"

#include "base/text.h"
#include "store/store_paths.h"

namespace pigeonbox {

StoreLockStripes& StoreLockStripes::Instance() {
  static StoreLockStripes stripes;
  return stripes;
}

int StoreLockStripes::StripeOf(std::u16string_view owner) {
  return NameHash(ToLower(owner)) % kStripeCount;
}

}  // namespace pigeonbox
