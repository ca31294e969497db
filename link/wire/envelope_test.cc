#include "link/wire/envelope.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace pigeonbox {
namespace {

TEST(NarrowEnvelopeTest, ReadsItemsIgnoringKeyCaseFirstMatchWins) {
  NarrowEnvelope env;
  ASSERT_TRUE(
      env.Load(u"<KVTCData><Item Key=\"MsgID\" Type=\"String\">m-1</Item>"
               u"<Item Key=\"msgid\" Type=\"String\">m-2</Item>"
               u"<Item Key=\"Count\" Type=\"Long\"> 42abc</Item>"
               u"<Item Key=\"Title\">标题 &amp; &lt;b&gt;</Item>"
               u"<Other Key=\"Hidden\">x</Other></KVTCData>"));
  std::u16string text;
  ASSERT_TRUE(env.GetString(u"msgid", &text, 64));
  EXPECT_EQ(text, u"m-1");
  int32_t count = 0;
  ASSERT_TRUE(env.GetLong(u"COUNT", &count));
  EXPECT_EQ(count, 42);
  ASSERT_TRUE(env.GetStringW(u"Title", &text));  // no Type attribute: still read as text
  EXPECT_EQ(text, u"标题 & <b>");
  EXPECT_FALSE(env.GetString(u"Hidden", &text, 64));
  EXPECT_FALSE(env.GetLong(u"Missing", &count));
  EXPECT_EQ(count, 42);
}

// Several items in one walk give what each read on its own gives.
TEST(NarrowEnvelopeTest, SeveralItemsReadAsOneByOne) {
  NarrowEnvelope env;
  ASSERT_TRUE(
      env.Load(u"<KVTCData><Item Key=\"title\">t-1</Item><Item Key=\"kEY\">k-1</Item>"
               u"<Item Key=\"TITLE\">t-2</Item><Item Key=\"Empty\"/>"
               u"<Item Key=\"A&amp;B\">ab</Item><Item Key=\"标题\">cjk</Item></KVTCData>"));
  const std::u16string_view keys[] = {u"Title", u"Missing", u"key",     u"TITLE",
                                      u"Empty", u"a&b",     u"A&amp;B", u"标题"};
  constexpr size_t kKeys = std::size(keys);
  std::u16string values[kKeys] = {u"", u"kept", u"", u"", u"x", u"", u"kept", u""};
  EXPECT_EQ(env.GetStringsW(keys, values), 0b10111101u);
  const std::u16string expected[kKeys] = {u"t-1", u"kept", u"k-1",  u"t-1",
                                          u"",    u"ab",   u"kept", u"cjk"};
  for (size_t i = 0; i < kKeys; ++i) {
    EXPECT_EQ(values[i], expected[i]) << i;
    std::u16string one = u"kept";
    EXPECT_EQ(env.GetStringW(keys[i], &one), i != 1 && i != 6);
    EXPECT_EQ(one, expected[i]) << i;
  }
  EXPECT_FALSE(env.Load(u"<KVTCData><Item Key=\"title\">"));
  EXPECT_EQ(env.GetStringsW(keys, values), 0u);
}

TEST(NarrowEnvelopeTest, CapacityCutsAndCodePageLoss) {
  NarrowEnvelope env;
  std::u16string value(100, u'v');
  ASSERT_TRUE(env.SetItem(u"Long", kTypeString, value));
  ASSERT_TRUE(env.SetItem(u"Korean", kTypeString, u"a\uD55Cb"));
  std::u16string text;
  ASSERT_TRUE(env.GetString(u"Long", &text, 64));
  EXPECT_EQ(text, value.substr(0, 63));
  ASSERT_TRUE(env.GetStringW(u"Long", &text));
  EXPECT_EQ(text, value);
  ASSERT_TRUE(env.GetStringW(u"Korean", &text));
  EXPECT_EQ(text, u"a?b");  // no GBK form
  // GetLong reads at most 15 characters before the decimal rule.
  ASSERT_TRUE(env.SetItem(u"Big", kTypeLong, u"0000000000000123"));
  int32_t n = -1;
  ASSERT_TRUE(env.GetLong(u"Big", &n));
  EXPECT_EQ(n, 12);
}

TEST(NarrowEnvelopeTest, SetItemComparesKeysExactly) {
  NarrowEnvelope env;
  ASSERT_TRUE(env.SetItem(u"Count", kTypeLong, u"1"));
  ASSERT_TRUE(env.SetItem(u"count", kTypeLong, u"2"));    // different key: appended
  ASSERT_TRUE(env.SetItem(u"Count", kTypeString, u"3"));  // same key: replaced in place
  EXPECT_EQ(env.Text(),
            "<KVTCData><Item Key=\"Count\" Type=\"String\">3</Item>\r\n"
            "<Item Key=\"count\" Type=\"Long\">2</Item>\r\n</KVTCData>");
}

TEST(NarrowEnvelopeTest, LoadRules) {
  NarrowEnvelope env;
  ASSERT_TRUE(env.Load(u"<KVTCData><Item Key=\"A\">1</Item></KVTCData>"));
  // The empty envelope in any letter case keeps the previous document.
  EXPECT_TRUE(env.Load(u"<kvtcdata></KVTCDATA>"));
  std::u16string text;
  EXPECT_TRUE(env.GetString(u"A", &text, 8));
  // Unparsable text fails; nothing can be read or set afterwards.
  EXPECT_FALSE(env.Load(u"<KVTCData><Item></KVTCData>"));
  EXPECT_FALSE(env.GetString(u"A", &text, 8));
  EXPECT_FALSE(env.SetItem(u"A", kTypeString, u"x"));
  // Another root reads but cannot be written.
  ASSERT_TRUE(env.Load(u"<Other><Item Key=\"A\">2</Item></Other>"));
  EXPECT_TRUE(env.GetString(u"A", &text, 8));
  EXPECT_EQ(text, u"2");
  EXPECT_FALSE(env.SetItem(u"B", kTypeString, u"x"));
}

TEST(WideEnvelopeTest, KeepsEveryCharacterAndEscapes) {
  WideEnvelope env;
  ASSERT_TRUE(env.SetItem(u"Command", kTypeString, u"GET_OFFMSG_TXT_EX2"));
  ASSERT_TRUE(env.SetItem(u"Body", kTypeString, u"\uD55C <&> \"q\""));
  EXPECT_EQ(env.Text(),
            u"<KVTCData><Item Key=\"Command\" Type=\"String\">GET_OFFMSG_TXT_EX2</Item>\r\n"
            u"<Item Key=\"Body\" Type=\"String\">\uD55C &lt;&amp;&gt; \"q\"</Item>\r\n"
            u"</KVTCData>");
}

TEST(TypedEnvelopeTest, OrdersLongsThenStringsByKey) {
  TypedEnvelope env;
  EXPECT_EQ(env.ToText(), u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><KVTCData/>");
  env.SetString(u"Command", u"GET_OFFMSG_SUM");
  env.SetLong(u"Result", 0);
  env.SetLong(u"Count", 3);
  env.SetLong(u"Count", -4);  // replaces
  EXPECT_EQ(env.ToText(),
            u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><KVTCData>"
            u"<Item Key=\"Count\" Type=\"Long\">-4</Item>\r\n"
            u"<Item Key=\"Result\" Type=\"Long\">0</Item>\r\n"
            u"<Item Key=\"Command\" Type=\"String\">GET_OFFMSG_SUM</Item>\r\n</KVTCData>");
  env.Clear();
  EXPECT_EQ(env.ToText(), u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><KVTCData/>");
}

}  // namespace
}  // namespace pigeonbox
