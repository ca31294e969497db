#include "base/text.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <thread>
#include <vector>

namespace pigeonbox {
namespace {

TEST(AnsiTextTest, RoundTripsAsciiAndChinese) {
  std::u16string text = u"Hello 开始启动服务。 <KVTCData/>";
  std::string ansi = ToAnsi(text);
  // 开 is B F A A in GBK; the ASCII part stays byte for byte.
  EXPECT_EQ(ansi.substr(0, 6), "Hello ");
  EXPECT_EQ(ansi.substr(6, 2), "\xBF\xAA");
  EXPECT_EQ(FromAnsi(ansi), text);
}

TEST(AnsiTextTest, CharacterWithoutGbkFormBecomesQuestionMark) {
  // Hangul, an emoji (surrogate pair) and a lone surrogate have no GBK form.
  EXPECT_EQ(ToAnsi(u"a\uD55Cb"), "a?b");
  EXPECT_EQ(ToAnsi(u"x\U0001F600y"), "x?y");
  EXPECT_EQ(ToAnsi(std::u16string(u"p") + char16_t(0xD800) + u"q"), "p?q");
  EXPECT_EQ(ToAnsi(u"\u20AC"), "\x80");  // the euro sign has the single byte 0x80
}

TEST(AnsiTextTest, InvalidBytesBecomeQuestionMarks) {
  EXPECT_EQ(FromAnsi("a\xFF"
                     "b"),
            u"a?b");
  EXPECT_EQ(FromAnsi("end\xBF"), u"end?");  // lead byte without a trail
  EXPECT_EQ(FromAnsi("\x81\x7F"
                     "z"),
            u"?\x7Fz");  // 0x7F is never a trail byte
}

// Every BMP character converts the way the C library's own CP936 converter does.
TEST(AnsiTextTest, AgreesWithIconvOverTheWholeBmp) {
  iconv_t cd = iconv_open("CP936", "UTF-16LE");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  int mismatches = 0;
  for (unsigned c = 1; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char in[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    char out[8];
    char* inp = in;
    char* outp = out;
    size_t inLeft = 2, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    bool ok = iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1);
    std::string expected = ok ? std::string(out, outp - out) : "?";
    std::string actual = ToAnsi(std::u16string(1, static_cast<char16_t>(c)));
    if (actual != expected && ++mismatches < 5) {
      ADD_FAILURE() << "U+" << std::hex << c;
    }
    if (ok) {
      EXPECT_EQ(FromAnsi(expected), std::u16string(1, static_cast<char16_t>(c)));
    }
  }
  iconv_close(cd);
  EXPECT_EQ(mismatches, 0);
}

// ASCII runs are converted several units at a time, both ways: a non-ASCII character or a
// surrogate pair at any place of a run, and runs of any length, convert as the characters do
// one by one.
TEST(AnsiTextTest, RunsConvertAsTheirCharacters) {
  const std::u16string odd[] = {u"开", u"\u20AC", u"\uD55C", u"\U0001F600", u"\u007F"};
  for (const std::u16string& special : odd) {
    for (size_t length = 0; length < 40; ++length) {
      for (size_t at = 0; at <= length; ++at) {
        std::u16string text, decoded;
        std::string expected;
        for (size_t i = 0; i < length; ++i) {
          if (i == at) {
            text += special;
            expected += ToAnsi(special);
            decoded += FromAnsi(ToAnsi(special));
          }
          const char letter = static_cast<char>('a' + i % 26);
          text += static_cast<char16_t>(letter);
          expected += letter;
          decoded += static_cast<char16_t>(letter);
        }
        EXPECT_EQ(ToAnsi(text), expected) << "length " << length << ", at " << at;
        EXPECT_EQ(FromAnsi(expected), decoded) << "length " << length << ", at " << at;
      }
    }
  }
}

TEST(Utf8TextTest, ConvertsSurrogatePairsAndRejectsMalformedInput) {
  std::u16string text = u"a\u00E9\u4E2D\U0001F600";
  std::string utf8 = ToUtf8(text);
  EXPECT_EQ(utf8, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf8(utf8), text);
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong form
  EXPECT_EQ(FromUtf8("\xE4\xB8"), u"\uFFFD\uFFFD");            // truncated
  EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(LowerTest, SimpleMappingIndependentOfLocale) {
  EXPECT_EQ(ToLower(u"Alice"), u"alice");
  EXPECT_EQ(ToLower(u"ÀÉÎ ΑΒΓ АБВ"), u"àéî αβγ абв");
  EXPECT_EQ(ToLower(u"中文_Backup"), u"中文_backup");
  EXPECT_EQ(LowerChar(u'\u0130'), u'i');  // capital I with dot: simple mapping, one unit
  EXPECT_EQ(LowerChar(char16_t(0xD83D)), char16_t(0xD83D));
}

TEST(DecimalTest, FollowsTheDecimalRule) {
  EXPECT_EQ(ParseDecimal(" 8012xyz"), 8012);
  EXPECT_EQ(ParseDecimal("\t-42"), -42);
  EXPECT_EQ(ParseDecimal("+7"), 7);
  EXPECT_EQ(ParseDecimal("abc"), 0);
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("- 5"), 0);
  EXPECT_EQ(ParseDecimal("99999999999"), INT32_MAX);
  EXPECT_EQ(ParseDecimal("-99999999999"), INT32_MIN);
  EXPECT_EQ(ParseDecimal("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseDecimal(u"  70000"), 70000);
}

TEST(CaseInsensitiveTest, FoldsAsciiLettersOnly) {
  EXPECT_TRUE(EqualsIgnoreAsciiCase("MsgID", "msgid"));
  EXPECT_TRUE(EqualsIgnoreAsciiCase(u"<KVTCData></KVTCData>", u"<kvtcdata></kvtcdata>"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase(u"É", u"é"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("abc", "abcd"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("[", "{"));  // 0x5B and 0x7B differ by the case bit only
}

TEST(AnsiTextTest, ConcurrentFirstUseIsSafe) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (int i = 0; i < 8; ++i) threads.emplace_back([&results, i] { results[i] = ToAnsi(u"中文"); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, "\xD6\xD0\xCE\xC4");
}

}  // namespace
}  // namespace pigeonbox
