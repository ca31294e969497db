#include "base/format.h"

#include <gtest/gtest.h>

namespace pigeonbox {
namespace {

TEST(FormatTextTest, FillsTheUsualConversions) {
  EXPECT_EQ(FormatText(u"[%02d-%02d-%02d %02d:%02d:%02d] (%d)", 2012, 5, 1, 10, 20, 3, 4711),
            u"[2012-05-01 10:20:03] (4711)");
  EXPECT_EQ(FormatText(u"%s%4d%02d%02d%02d%02d%s", "/l/", 2012, 5, 1, 10, 20, u"P.log"),
            u"/l/201205011020P.log");
  EXPECT_EQ(FormatText(u"Errcode=%d,strFileName=%s", -3, std::u16string(u"中.xml")),
            u"Errcode=-3,strFileName=中.xml");
  EXPECT_EQ(FormatText(u"%u %x %X %ld %I64d %%", -1, 255u, 255, 7L, int64_t{1} << 40),
            u"4294967295 ff FF 7 1099511627776 %");
  EXPECT_EQ(FormatText(u"[%-4s][%5d][%05d][%.2s]", u"ab", 42, -42, u"abcdef"),
            u"[ab  ][   42][-0042][ab]");
}

TEST(FormatTextTest, MismatchedArgumentsNeverReadGarbage) {
  EXPECT_EQ(FormatText(u"a=%d b=%s c=%d", 1), u"a=1 b= c=");
  EXPECT_EQ(FormatText(u"%d", u"text"), u"text");
  EXPECT_EQ(FormatText(u"%s", 12), u"12");
  EXPECT_EQ(FormatText(u"trailing %"), u"trailing ");
  // An argument that itself holds a conversion is not expanded again.
  EXPECT_EQ(FormatText(u"msg: %s", u"100%d done"), u"msg: 100%d done");
}

}  // namespace
}  // namespace pigeonbox
