#include "suite/xow_zip.h"

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

namespace pigeonbox::xowzip {
namespace {

using Bytes = std::vector<uint8_t>;

// A message text as the store compresses it: UTF-16LE with a terminating zero unit.
Bytes MessageBytes(const std::u16string& text) {
  Bytes bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

Bytes Packed(const Bytes& input, uint32_t capacity) {
  Bytes out(capacity);
  uint32_t len = capacity;
  EXPECT_EQ(Compress(out.data(), &len, input.data(), static_cast<uint32_t>(input.size())), kOk);
  out.resize(len);
  return out;
}

Bytes Unpacked(const Bytes& block, uint32_t capacity, int* rc) {
  Bytes out(capacity);
  uint32_t len = capacity;
  *rc = UnCompress(out.data(), &len, block.data(), static_cast<uint32_t>(block.size()));
  out.resize(len);
  return out;
}

uint32_t Adler32(const Bytes& data) {
  uint32_t a = 1, b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

TEST(XowZipTest, RoundTripsMessagesAndBinaryData) {
  std::u16string xml;
  for (int i = 0; i < 40; ++i)
    xml += u"<Item Key=\"Title\" Type=\"8\">会议通知 第" + std::u16string(1, u'0' + i % 10) +
           u"</Item>";
  const std::vector<Bytes> inputs = {MessageBytes(u""), MessageBytes(u"hello"), MessageBytes(xml),
                                     RandomBytes(70000, 1), Bytes(100000, 'a')};
  for (const Bytes& input : inputs) {
    Bytes block = Packed(input, 200000);
    int rc = -100;
    EXPECT_EQ(Unpacked(block, static_cast<uint32_t>(input.size()), &rc), input);
    EXPECT_EQ(rc, kOk);
  }
  // Mostly-ASCII XML text compresses well.
  EXPECT_LT(Packed(MessageBytes(xml), 10000).size(), MessageBytes(xml).size() / 2);
}

// Clients undo the blocks with any zlib: check the RFC 1950 wrapper around a raw deflate body.
TEST(XowZipTest, ProducesTheZlibFormat) {
  Bytes input = MessageBytes(u"Offline message 离线消息 for alice");
  Bytes block = Packed(input, 3071);
  ASSERT_GE(block.size(), 6u);
  EXPECT_EQ(block[0], 0x78);  // deflate with a 32 KiB window
  EXPECT_EQ((block[0] * 256 + block[1]) % 31, 0);
  EXPECT_EQ(block[1] & 0x20, 0);  // no preset dictionary
  uint32_t trailer = (uint32_t{block[block.size() - 4]} << 24) | (block[block.size() - 3] << 16) |
                     (block[block.size() - 2] << 8) | block[block.size() - 1];
  EXPECT_EQ(trailer, Adler32(input));

  libdeflate_decompressor* raw = libdeflate_alloc_decompressor();
  Bytes body(input.size());
  size_t produced = 0;
  EXPECT_EQ(libdeflate_deflate_decompress(raw, block.data() + 2, block.size() - 6, body.data(),
                                          body.size(), &produced),
            LIBDEFLATE_SUCCESS);
  libdeflate_free_decompressor(raw);
  body.resize(produced);
  EXPECT_EQ(body, input);
}

TEST(XowZipTest, ResultThatDoesNotFitTheCapacityFails) {
  Bytes input = RandomBytes(4000, 2);  // incompressible: the block is larger than the input
  Bytes exact = Packed(input, 8000);
  Bytes out(exact.size());
  uint32_t len = static_cast<uint32_t>(exact.size() - 1);
  EXPECT_EQ(Compress(out.data(), &len, input.data(), 4000), kNoRoom);
  EXPECT_EQ(len, 0u);
  len = static_cast<uint32_t>(exact.size());
  EXPECT_EQ(Compress(out.data(), &len, input.data(), 4000), kOk);
  EXPECT_EQ(out, exact);
  len = 0;
  EXPECT_EQ(Compress(nullptr, &len, input.data(), 4000), kNoRoom);

  int rc = kOk;
  EXPECT_TRUE(Unpacked(exact, 3999, &rc).empty());
  EXPECT_EQ(rc, kNoRoom);
}

TEST(XowZipTest, DamagedOrForeignInputFailsCleanly) {
  Bytes good = Packed(MessageBytes(u"a text that will be damaged in several ways"), 3071);
  ASSERT_GT(good.size(), 10u);
  Bytes badTrailer = good;
  badTrailer[good.size() - 1] ^= 0x01;
  Bytes badBody = good;
  badBody[good.size() / 2] ^= 0xFF;
  Bytes zeros(64, 0);  // what a read past the end of a text file hands over
  const std::vector<Bytes> damaged = {
      badTrailer, badBody, zeros, RandomBytes(300, 3), Bytes(good.begin(), good.end() - 5),
      Bytes()};
  for (const Bytes& block : damaged) {
    int rc = kOk;
    EXPECT_TRUE(Unpacked(block, 13312, &rc).empty());
    EXPECT_NE(rc, kOk);
  }
}

TEST(XowZipTest, NullPointersAreRejected) {
  uint8_t buffer[16] = {};
  uint32_t len = sizeof buffer;
  EXPECT_EQ(Compress(buffer, nullptr, buffer, 1), kBadArgument);
  EXPECT_EQ(Compress(nullptr, &len, buffer, 1), kBadArgument);
  EXPECT_EQ(UnCompress(buffer, &len, nullptr, 5), kBadArgument);
}

TEST(XowZipTest, ThreadsCompressIndependently) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 200; ++i) {
        Bytes input = RandomBytes(500 + i, t * 1000 + i);
        for (size_t k = 0; k < input.size(); k += 3) input[k] = 'x';  // partly compressible
        Bytes out(2000);
        uint32_t len = 2000;
        Bytes back(input.size());
        uint32_t backLen = static_cast<uint32_t>(back.size());
        if (Compress(out.data(), &len, input.data(), static_cast<uint32_t>(input.size())) != kOk ||
            UnCompress(back.data(), &backLen, out.data(), len) != kOk || back != input) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace pigeonbox::xowzip
