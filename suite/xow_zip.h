// The suite's compression library (XowZip): whole-buffer compression in the zlib format
// (RFC 1950), so any zlib implementation decodes the blocks this produces.
//
// Both calls take (destination, destination length, source, source length in bytes). On entry
// *dstLen holds the destination's capacity in bytes, on return the number of bytes produced
// (0 after a failure). The result is 0 for success or one of the error codes below; a result
// that does not fit the capacity is a failure, never a truncated block. Thread-safe: each
// thread uses its own compressor and decompressor.
#pragma once

#include <cstdint>

namespace pigeonbox::xowzip {

// The values of the zlib library, so log lines read the same as with it.
inline constexpr int kOk = 0;
inline constexpr int kBadArgument = -2;  // a null pointer
inline constexpr int kBadData = -3;      // not a complete, intact zlib stream
inline constexpr int kNoMemory = -4;
inline constexpr int kNoRoom = -5;  // the result does not fit the destination

int Compress(uint8_t* dst, uint32_t* dstLen, const uint8_t* src, uint32_t srcLen);
int UnCompress(uint8_t* dst, uint32_t* dstLen, const uint8_t* src, uint32_t srcLen);

}  // namespace pigeonbox::xowzip
