#include "suite/xow_zip.h"

#include <libdeflate.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace pigeonbox::xowzip {
namespace {

// Level 6 (zlib's default) rather than the faster level 1: blocks are limited to a fixed
// capacity, and the better ratio keeps large messages within it at least as often as the
// suite's zlib-based clients expect; the few microseconds more per message are small beside
// the file work of storing it.
constexpr int kLevel = 6;

// Spare output room beyond the caller's capacity (more than libdeflate's end padding).
constexpr size_t kSlack = 1024;

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// libdeflate objects must not be shared between threads, so each thread keeps its own.
libdeflate_compressor* ThreadCompressor() {
  thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
      libdeflate_alloc_compressor(kLevel));
  return compressor.get();
}

libdeflate_decompressor* ThreadDecompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
      libdeflate_alloc_decompressor());
  return decompressor.get();
}

bool ValidArguments(uint8_t* dst, uint32_t* dstLen, const uint8_t* src, uint32_t srcLen) {
  return dstLen != nullptr && (dst != nullptr || *dstLen == 0) && (src != nullptr || srcLen == 0);
}

}  // namespace

int Compress(uint8_t* dst, uint32_t* dstLen, const uint8_t* src, uint32_t srcLen) {
  if (!ValidArguments(dst, dstLen, src, srcLen)) return kBadArgument;
  uint32_t capacity = *dstLen;
  *dstLen = 0;
  libdeflate_compressor* compressor = ThreadCompressor();
  if (compressor == nullptr) return kNoMemory;
  static const uint8_t kNothing = 0;  // libdeflate wants a valid pointer even for no input
  if (src == nullptr) src = &kNothing;

  if (capacity >= libdeflate_zlib_compress_bound(compressor, srcLen)) {
    size_t produced = libdeflate_zlib_compress(compressor, src, srcLen, dst, capacity);
    if (produced == 0) return kNoRoom;
    *dstLen = static_cast<uint32_t>(produced);
    return kOk;
  }
  // libdeflate needs a few spare bytes at the end of its output buffer and refuses a result
  // that would fill the buffer exactly. Compress into a roomier buffer, so every result that
  // fits the caller's capacity is accepted.
  thread_local std::vector<uint8_t> scratch;
  try {
    scratch.resize(size_t{capacity} + kSlack);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  size_t produced =
      libdeflate_zlib_compress(compressor, src, srcLen, scratch.data(), scratch.size());
  if (produced == 0 || produced > capacity) return kNoRoom;
  std::memcpy(dst, scratch.data(), produced);
  *dstLen = static_cast<uint32_t>(produced);
  return kOk;
}

int UnCompress(uint8_t* dst, uint32_t* dstLen, const uint8_t* src, uint32_t srcLen) {
  if (!ValidArguments(dst, dstLen, src, srcLen)) return kBadArgument;
  uint32_t capacity = *dstLen;
  *dstLen = 0;
  libdeflate_decompressor* decompressor = ThreadDecompressor();
  if (decompressor == nullptr) return kNoMemory;
  size_t produced = 0;
  switch (libdeflate_zlib_decompress(decompressor, src, srcLen, dst, capacity, &produced)) {
    case LIBDEFLATE_SUCCESS:
      *dstLen = static_cast<uint32_t>(produced);
      return kOk;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      return kNoRoom;
    default:
      return kBadData;
  }
}

}  // namespace pigeonbox::xowzip
