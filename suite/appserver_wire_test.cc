// Frames of the application-server protocol: encoding, reassembly, bounds.
#include "suite/appserver_wire.h"

#include <gtest/gtest.h>

namespace pigeonbox::appwire {
namespace {

TEST(AppServerWireTest, FramesSurviveByteWiseArrivalAndFieldsRoundTrip) {
  std::string stream = FrameWriter(Op::kUserSend)
                           .Text(u"a\u4f60\U0001F600")
                           .I32(-5)
                           .Bytes(std::string("\0\xff", 2))
                           .U8(7)
                           .Finish() +
                       FrameWriter(Op::kVersion).Finish();
  FrameBuffer buffer;
  std::string body;
  std::vector<std::string> bodies;
  for (char c : stream) {
    buffer.Append(&c, 1);
    while (buffer.Next(&body) == FrameBuffer::Result::kFrame) bodies.push_back(body);
  }
  ASSERT_EQ(bodies.size(), 2u);
  FrameReader reader(bodies[0]);
  std::u16string text;
  int32_t number = 0;
  std::string bytes;
  uint8_t small = 0;
  EXPECT_EQ(reader.op(), static_cast<uint8_t>(Op::kUserSend));
  ASSERT_TRUE(reader.Text(&text) && reader.I32(&number) && reader.Bytes(&bytes) &&
              reader.U8(&small));
  EXPECT_TRUE(reader.Done());
  EXPECT_EQ(text, u"a\u4f60\U0001F600");
  EXPECT_EQ(number, -5);
  EXPECT_EQ(bytes, std::string("\0\xff", 2));
  EXPECT_EQ(small, 7);
  EXPECT_EQ(FrameReader(bodies[1]).op(), static_cast<uint8_t>(Op::kVersion));
}

TEST(AppServerWireTest, BoundsAndShortFieldsAreRejected) {
  FrameBuffer buffer;
  std::string body;
  std::string atLimit("\x00\x00\x10\x00", 4);  // exactly kMaxFrameBytes: waits for the body
  buffer.Append(atLimit.data(), atLimit.size());
  EXPECT_EQ(buffer.Next(&body), FrameBuffer::Result::kNeedMore);
  FrameBuffer over;
  std::string tooLong("\x01\x00\x10\x00", 4);
  over.Append(tooLong.data(), tooLong.size());
  EXPECT_EQ(over.Next(&body), FrameBuffer::Result::kTooLarge);

  std::u16string text;
  const std::string oddBody("\x06\x01\0\0\0A", 6);  // the reader only views its body
  FrameReader odd(oddBody);
  EXPECT_FALSE(odd.Text(&text));
  int32_t number = 0;
  const std::string shortBody("\x06\x01\x02", 3);
  FrameReader shortInt(shortBody);
  EXPECT_FALSE(shortInt.I32(&number));
  EXPECT_FALSE(shortInt.Done());
  EXPECT_FALSE(FrameReader("").Done());
}

}  // namespace
}  // namespace pigeonbox::appwire
