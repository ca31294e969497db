#include "link/wire/reply_packet.h"

#include <gtest/gtest.h>

#include <vector>

namespace pigeonbox {
namespace {

TEST(ReplyPacketTest, AppendsBigEndianUpTo4095Bytes) {
  ReplyPacket reply;
  ASSERT_TRUE(reply.PutU32(1) && reply.PutU16(0x0A0B));
  EXPECT_EQ(std::vector<uint8_t>(reply.Data(), reply.Data() + reply.Size()),
            (std::vector<uint8_t>{0, 0, 0, 1, 0x0A, 0x0B}));
  EXPECT_FALSE(reply.PutBytes(nullptr, 0));

  ReplyPacket full;
  for (int i = 0; i < 4094; ++i) ASSERT_TRUE(full.PutU8(static_cast<uint8_t>(i))) << i;
  // One byte left: wider fields are refused whole.
  EXPECT_FALSE(full.PutU16(2));
  EXPECT_FALSE(full.PutU32(3));
  EXPECT_FALSE(full.PutBytes("ab", 2));
  EXPECT_TRUE(full.PutU8(0));  // the 4095th
  EXPECT_FALSE(full.PutU8(0));
  EXPECT_EQ(full.Size(), 4095u);
}

}  // namespace
}  // namespace pigeonbox
