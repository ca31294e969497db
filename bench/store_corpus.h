// Deterministic owners and messages for the store benchmark.
//
// Message texts are data envelopes as the dispatcher stores them: mostly ASCII XML with about
// one character in ten from the CJK range, 600 to 2000 bytes as UTF-16 (300 to 1000 units).
// Message number `seq` always has the same text, MsgID and index record, so two stores fed the
// same sequence of numbers hold the same messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/index_store.h"

namespace pigeonbox::bench {

// splitmix64: a fast, well-mixed 64-bit hash; the corpus derives everything from it.
uint64_t Mix64(uint64_t x);

class StoreCorpus {
 public:
  // `textCount` distinct texts are shared by all messages; `baseTime` is the CreateTime of
  // message 0 (later messages are one second apart).
  StoreCorpus(uint64_t seed, int ownerCount, int textCount, int32_t baseTime);

  const std::vector<std::u16string>& owners() const { return owners_; }
  const std::u16string& TextOf(uint64_t seq) const;
  std::u16string MsgIdOf(uint64_t seq) const;
  // The record the dispatcher would index for message `seq` sent to `owner`.
  IndexRecord RecordOf(uint64_t seq, std::u16string_view owner) const;

  // Text statistics: mean UTF-16 bytes (without the terminator) and the share of CJK units.
  double MeanTextBytes() const;
  double CjkShare() const;

 private:
  uint64_t seed_;
  int32_t baseTime_;
  std::vector<std::u16string> owners_;
  std::vector<std::u16string> senders_;
  std::vector<std::u16string> texts_;
};

}  // namespace pigeonbox::bench
