#include "suite/xow_zip.h"

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <random>
#include <thread>
#include <vector>

namespace pigeonbox::xowzip {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

// Calls `fn` (Compress or UnCompress) with the given capacity; the output cut to its length.
Bytes Call(decltype(Compress)* fn, const Bytes& in, uint32_t capacity, int* rc) {
  Bytes out(capacity);
  uint32_t len = capacity;
  *rc = fn(out.data(), &len, in.data(), static_cast<uint32_t>(in.size()));
  out.resize(len);
  return out;
}

// Clients undo the blocks with any zlib: a zlib header, a raw deflate body and the Adler-32 of
// the input, big-endian, at the end.
TEST(XowZipTest, RoundTripsInTheZlibFormat) {
  const std::string xml = "<Item Key=\"Title\">meeting at ten, room 4</Item>";
  for (const Bytes& input :
       {Bytes(), Bytes(xml.begin(), xml.end()), RandomBytes(70000, 1), Bytes(100000, 'a')}) {
    int rc = -100;
    Bytes block = Call(Compress, input, 200000, &rc);
    ASSERT_EQ(rc, kOk);
    ASSERT_GE(block.size(), 6u);
    EXPECT_EQ(block[0], 0x78);
    EXPECT_EQ((block[0] * 256 + block[1]) % 31, 0);
    uint32_t a = 1, b = 0;
    for (uint8_t byte : input) a = (a + byte) % 65521, b = (b + a) % 65521;
    const uint8_t* t = &block[block.size() - 4];
    EXPECT_EQ((uint32_t{t[0]} << 24) | (t[1] << 16) | (t[2] << 8) | t[3], (b << 16) | a);

    Bytes body(input.size() + 1);
    size_t produced = 0;
    libdeflate_decompressor* raw = libdeflate_alloc_decompressor();
    EXPECT_EQ(libdeflate_deflate_decompress(raw, block.data() + 2, block.size() - 6, body.data(),
                                            body.size(), &produced),
              LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(raw);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + produced), input);

    EXPECT_EQ(Call(UnCompress, block, static_cast<uint32_t>(input.size()), &rc), input);
    EXPECT_EQ(rc, kOk);
  }
}

// The capacity is a hard limit, and a result that fills it exactly is accepted.
TEST(XowZipTest, ResultMustFitTheCapacity) {
  const Bytes input = RandomBytes(4000, 2);  // incompressible: the block is larger
  int rc = -100;
  const Bytes block = Call(Compress, input, 8000, &rc);
  const uint32_t size = static_cast<uint32_t>(block.size());
  EXPECT_EQ(Call(Compress, input, size, &rc), block);
  EXPECT_EQ(rc, kOk);
  EXPECT_TRUE(Call(Compress, input, size - 1, &rc).empty());
  EXPECT_EQ(rc, kNoRoom);
  EXPECT_TRUE(Call(UnCompress, block, 3999, &rc).empty());
  EXPECT_EQ(rc, kNoRoom);
  uint32_t len = 16;
  EXPECT_EQ(Compress(nullptr, &len, input.data(), 1), kBadArgument);
}

TEST(XowZipTest, DamagedOrForeignInputFails) {
  int rc = -100;
  const Bytes good = Call(Compress, Bytes(300, 'z'), 3071, &rc);
  ASSERT_GT(good.size(), 8u);
  Bytes badTrailer = good, badBody = good;
  badTrailer[good.size() - 1] ^= 0x01;
  badBody[3] ^= 0xFF;
  for (const Bytes& block : {badTrailer, badBody, Bytes(64, 0), RandomBytes(300, 3),
                             Bytes(good.begin(), good.end() - 5), Bytes()}) {
    EXPECT_TRUE(Call(UnCompress, block, 13312, &rc).empty());
    EXPECT_NE(rc, kOk);
  }
}

TEST(XowZipTest, ThreadsCompressIndependently) {
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (unsigned i = 0; i < 200; ++i) {
        Bytes input = RandomBytes(500 + i, t * 1000 + i);
        for (size_t k = 0; k < input.size(); k += 3) input[k] = 'x';
        int rc1 = 0, rc2 = 0;
        Bytes back = Call(UnCompress, Call(Compress, input, 2000, &rc1), 2000, &rc2);
        if (rc1 != kOk || rc2 != kOk || back != input) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace pigeonbox::xowzip
