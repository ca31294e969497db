#include "transfer/frame_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil/transfer/frames.h"
#include "transfer/index_pool.h"

namespace pigeonbox {
namespace {

using testutil::Frame;

class FeedResult {
 public:
  bool Feed(FrameAssembler& a, const std::string& bytes) {
    return a.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                  [this](const uint8_t* f, int n) {
                    frames.emplace_back(reinterpret_cast<const char*>(f), n);
                    return true;
                  });
  }
  std::vector<std::string> frames;
};

TEST(FrameAssemblerTest, TwoFramesAndOneByteThenTheRest) {
  FrameAssembler a;
  FeedResult r;
  const std::string first = Frame(14, 'x'), second = Frame(20, 'y'), third = Frame(4096, 'z');
  ASSERT_TRUE(r.Feed(a, first + second + third.substr(0, 1)));
  EXPECT_EQ((std::vector<std::string>{first, second}), r.frames);
  EXPECT_EQ(1, a.partial_length());
  ASSERT_TRUE(r.Feed(a, third.substr(1)));
  ASSERT_EQ(3u, r.frames.size());
  EXPECT_EQ(third, r.frames[2]);
  EXPECT_EQ(0, a.partial_length());
}

TEST(FrameAssemblerTest, ReassemblesAFrameFedByteByByte) {
  FrameAssembler a;
  FeedResult r;
  const std::string frame = Frame(300, 'k');
  for (char c : frame) ASSERT_TRUE(r.Feed(a, std::string(1, c)));
  ASSERT_EQ(1u, r.frames.size());
  EXPECT_EQ(frame, r.frames[0]);
  // Split after two bytes, with the next frame following in the same receive.
  ASSERT_TRUE(r.Feed(a, frame.substr(0, 2)));
  ASSERT_TRUE(r.Feed(a, frame.substr(2) + Frame(3)));
  EXPECT_EQ((std::vector<std::string>{frame, frame, Frame(3)}), r.frames);
}

TEST(FrameAssemblerTest, RefusesLengthsOutsideThreeTo4096) {
  for (int bad : {0, 2, 4097, 65535}) {
    const std::string header = {'\x02', static_cast<char>(bad >> 8), static_cast<char>(bad & 0xff)};
    FrameAssembler whole, split;
    FeedResult r;
    EXPECT_FALSE(r.Feed(whole, Frame(14) + header + "rest")) << bad;
    EXPECT_EQ(1u, r.frames.size());  // the valid frame before it was still delivered
    ASSERT_TRUE(r.Feed(split, header.substr(0, 1)));
    EXPECT_FALSE(r.Feed(split, header.substr(1) + "rest")) << bad;
    EXPECT_EQ(1u, r.frames.size());
  }
}

TEST(FrameAssemblerTest, StopsWhenTheOwnerDropsTheConnection) {
  FrameAssembler a;
  const std::string frame = Frame(10);
  ASSERT_TRUE(a.Feed(reinterpret_cast<const uint8_t*>(frame.data()), 5,
                     [](const uint8_t*, int) { return true; }));
  int calls = 0;
  const std::string rest = frame.substr(5) + frame + frame;
  // The owner resets the assembler (closes the slot) while it reads the reassembled frame.
  EXPECT_TRUE(a.Feed(reinterpret_cast<const uint8_t*>(rest.data()), rest.size(),
                     [&](const uint8_t* f, int n) {
                       a.Reset();
                       ++calls;
                       return std::string(reinterpret_cast<const char*>(f), n) != frame;
                     }));
  EXPECT_EQ(1, calls);
  EXPECT_EQ(0, a.partial_length());
}

TEST(IndexPoolTest, HandsOutAscendingThenInOrderOfReturn) {
  IndexPool pool(4);
  EXPECT_EQ(-1, pool.Take());
  pool.Fill(0, 3);
  EXPECT_EQ(0, pool.Take());
  EXPECT_EQ(1, pool.Take());
  EXPECT_EQ(2, pool.Take());
  pool.Give(1);
  pool.Give(0);
  pool.Give(0);   // twice: ignored
  pool.Give(3);   // never taken: ignored
  pool.Give(-1);  // out of range: ignored
  pool.Give(4);
  EXPECT_EQ(3, pool.free_count());
  EXPECT_EQ(3, pool.Take());
  EXPECT_EQ(1, pool.Take());
  EXPECT_EQ(0, pool.Take());
  EXPECT_EQ(-1, pool.Take());
}

}  // namespace
}  // namespace pigeonbox
