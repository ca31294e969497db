#include "markup/base64.h"

#include <gtest/gtest.h>

namespace pigeonbox {
namespace {

TEST(Base64Test, EncodesInLines) {
  EXPECT_EQ(Base64Encode("", 0), "\r\n");
  EXPECT_EQ(Base64Encode("abc", 3), "\r\nYWJj");
  EXPECT_EQ(Base64Encode("abcd", 4), "\r\nYWJjZA==\r\n");
  EXPECT_EQ(Base64Encode("abcde", 5), "\r\nYWJjZGU=\r\n");
  EXPECT_EQ(Base64EncodeWide("abcd", 4), u"\r\nYWJjZA==\r\n");
  const std::string bytes(100, '\xFF');
  const std::string line(64, '/');
  // 48 bytes fill one line exactly; 96 two; 49 and 97 leave a padded group on the next line.
  EXPECT_EQ(Base64Encode(bytes.data(), 48), "\r\n" + line + "\r\n");
  EXPECT_EQ(Base64Encode(bytes.data(), 49), "\r\n" + line + "\r\n/w==\r\n");
  EXPECT_EQ(Base64Encode(bytes.data(), 51), "\r\n" + line + "\r\n////");
  EXPECT_EQ(Base64Encode(bytes.data(), 96), "\r\n" + line + "\r\n" + line + "\r\n");
  // A padded group that completes a line gets one line break.
  EXPECT_EQ(Base64Encode(bytes.data(), 47), "\r\n" + line.substr(0, 60) + "//8=\r\n");
}

TEST(Base64Test, DecodesWhatItEncodes) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i * 37 + 11);
  for (size_t n = 0; n <= bytes.size(); n += 7) {
    std::string out;
    ASSERT_TRUE(Base64Decode(Base64Encode(bytes.data(), n), &out)) << n;
    EXPECT_EQ(out, bytes.substr(0, n));
    ASSERT_TRUE(Base64Decode(Base64EncodeWide(bytes.data(), n), &out)) << n;
    EXPECT_EQ(out, bytes.substr(0, n));
  }
}

TEST(Base64Test, RejectsForeignTextAndBadPadding) {
  std::string out = "stale";
  for (const char* bad :
       {"YWJ", "YW=j", "Y===", "YWJjZA==YWJj", "YWJj!", "YWJjZA=", "=YWJ", "YWJj\xC3\xA4"}) {
    EXPECT_FALSE(Base64Decode(std::string_view(bad), &out)) << bad;
    EXPECT_EQ(out, "");
  }
  EXPECT_FALSE(Base64Decode(std::u16string_view(u"YWJ\u0100"), &out));
  EXPECT_TRUE(Base64Decode(std::string_view(" Y W\tJ j\r\nZA==\r\n "), &out));
  EXPECT_EQ(out, "abcd");
}

}  // namespace
}  // namespace pigeonbox
