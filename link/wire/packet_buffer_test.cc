#include "link/wire/packet_buffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace pigeonbox {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes At(const PacketBuffer& p, size_t from, size_t to) {
  return Bytes(p.data + from, p.data + to);
}

TEST(PacketBufferTest, ResetAndBigEndianWritesWithinTheBound) {
  PacketBuffer packet;
  ASSERT_TRUE(packet.PutU32(0xA1B2C3D4));
  EXPECT_EQ(At(packet, 0, 17),
            (Bytes{0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xA1, 0xB2, 0xC3, 0xD4}));
  packet.Reset();
  EXPECT_EQ(At(packet, 13, 17), (Bytes{0, 0, 0, 0}));
  ASSERT_TRUE(packet.PutU16(0x1234));
  EXPECT_EQ(At(packet, 13, 15), (Bytes{0x12, 0x34}));
  EXPECT_EQ(packet.position, 15u);
  EXPECT_EQ(packet.Size(), 15u);

  Bytes big(4083, 0x5A);
  packet.Reset();
  EXPECT_FALSE(packet.PutBytes(big.data(), 4083));
  EXPECT_FALSE(packet.PutBytes(nullptr, 1));
  EXPECT_EQ(packet.position, 13u);
  EXPECT_EQ(packet.end, 13u);
  ASSERT_TRUE(packet.PutBytes(big.data(), 4082));
  EXPECT_EQ(packet.end, 4095u);
  EXPECT_EQ(packet.data[4095], 0);

  packet.Reset();
  ASSERT_TRUE(packet.PutBytes(big.data(), 4079));  // position 4092
  EXPECT_FALSE(packet.PutU32(1));                  // refused whole
  ASSERT_TRUE(packet.PutU16(0xBEEF));
  EXPECT_FALSE(packet.PutU16(1));
  EXPECT_EQ(packet.end, 4094u);
}

TEST(PacketBufferTest, ReadsNeverPassTheEnd) {
  PacketBuffer packet;
  const uint8_t tail[] = {7, 8, 9};
  ASSERT_TRUE(packet.PutU16(0xCAFE) && packet.PutU32(0x01020304) && packet.PutBytes(tail, 3));
  packet.Rewind();
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  ASSERT_TRUE(packet.GetU16(&u16) && packet.GetU32(&u32));
  EXPECT_EQ(u16, 0xCAFE);
  EXPECT_EQ(u32, 0x01020304u);
  EXPECT_FALSE(packet.GetU32(&u32));  // 3 bytes left: refused, nothing consumed
  const uint8_t* bytes = nullptr;
  ASSERT_TRUE(packet.ReadBytes(3, &bytes));
  EXPECT_EQ(bytes[2], 9);
  EXPECT_FALSE(packet.GetU16(&u16));
  EXPECT_FALSE(packet.SetPosition(23));
  ASSERT_TRUE(packet.SetPosition(20));
  uint8_t two[2];
  ASSERT_TRUE(packet.GetBytes(two, 2));
  EXPECT_EQ(two[0], 8);
  packet.end = 5000;  // a corrupted end is not trusted
  EXPECT_FALSE(packet.GetU16(&u16));

  Bytes frame(16, 0);
  ASSERT_TRUE(packet.Load(frame.data(), frame.size()));
  EXPECT_EQ(packet.position, 13u);
  EXPECT_EQ(packet.Size(), 16u);
  EXPECT_FALSE(packet.Load(frame.data(), 12));
}

TEST(PacketBufferTest, TextsRoundTripAndBadLengthsAreRefused) {
  PacketBuffer packet;
  ASSERT_TRUE(packet.PutText(u"amy"));
  EXPECT_EQ(At(packet, 13, 23), (Bytes{0, 8, 'a', 0, 'm', 0, 'y', 0, 0, 0}));
  ASSERT_TRUE(packet.PutText(u"离线消息 \U0001F600"));
  ASSERT_TRUE(packet.PutText(u""));
  const uint8_t early[] = {0, 6, 'a', 0, 0, 0, 'b', 0};  // ends at its first zero unit
  ASSERT_TRUE(packet.PutBytes(early, sizeof early));
  packet.Rewind();
  std::u16string text;
  for (std::u16string expected : {u"amy", u"离线消息 \U0001F600", u"", u"a"}) {
    ASSERT_TRUE(packet.GetText(&text));
    EXPECT_EQ(text, expected);
  }
  EXPECT_EQ(packet.position, packet.end);

  // The text ends at its first zero unit wherever it lies, also inside a word of four units.
  for (size_t zero = 0; zero <= 10; ++zero) {
    std::u16string sent = u"abcdefghij";
    if (zero < sent.size()) sent[zero] = 0;
    packet.Reset();
    ASSERT_TRUE(packet.PutText(sent));
    packet.Rewind();
    ASSERT_TRUE(packet.GetText(&text));
    EXPECT_EQ(text, sent.substr(0, zero));
  }

  const Bytes refused[] = {
      {0, 3, 'a', 0, 0},     // odd length
      {0, 0, 'a', 0},        // zero length
      {0, 6, 'a', 0, 0, 0},  // overruns end
      {0},                   // length cut off
  };
  for (const Bytes& body : refused) {
    packet.Reset();
    ASSERT_TRUE(packet.PutBytes(body.data(), body.size()));
    packet.Rewind();
    EXPECT_FALSE(packet.GetText(&text)) << "body of " << body.size() << " bytes";
    EXPECT_EQ(packet.position, 13u);
  }

  // A text that does not fit leaves its length, which the reader then refuses.
  packet.Reset();
  EXPECT_FALSE(packet.PutText(std::u16string(3000, u'x')));
  EXPECT_EQ(packet.end, 15u);
  EXPECT_FALSE(packet.PutText(std::u16string(40000, u'x')));  // no 16-bit wrap-around
  packet.Rewind();
  EXPECT_FALSE(packet.GetText(&text));
  EXPECT_FALSE(packet.GetText(&text));
}

}  // namespace
}  // namespace pigeonbox
