// Text retrieval in all five forms: what each reply carries, when the message goes, the pauses
// between batches, and the parts that are refused.
#include <map>
#include <random>

#include "markup/base64.h"
#include "suite/xow_zip.h"
#include "testutil/offmsg/service_fixture.h"

namespace pigeonbox::testutil {
namespace {

using std::chrono::milliseconds;

class TextRepliesTest : public ServiceTest {
 protected:
  void SetUp() override { StartService(); }

  // Stores `text` for alice from sam under MsgID M1 (the text is stored whatever it holds).
  void StoreText(const std::u16string& text) { StoreMessage(u"alice", text); }
  std::u16string Keyed(std::u16string_view body = u"hi") {
    return EnvelopeOf({{u"Key", u"M1"}, {u"Body", std::u16string(body)}});
  }
  int Fetch(std::u16string_view command, const Items& extra = {}) {
    owner_.replies.clear();
    Items items = {{u"Command", std::u16string(command)}, {u"MsgID", u"m1"}};
    items.insert(items.end(), extra.begin(), extra.end());
    return Request(u"alice", items);
  }
  // The stored text a reply of any of the five forms carries; "<undecodable>" when it does not
  // carry one whole.
  static std::u16string DeliveredText(const RecordedReply& reply) {
    if (!reply.isText && reply.Item(u"MsgTxt") != u"<missing>") return reply.Item(u"MsgTxt");
    if (!reply.isText) return Ex3PacketText(reply.bytes);
    const std::u16string command = reply.Item(u"Command");
    if (command == u"GET_OFFMSG_TXT_EX2") return reply.Item(u"MsgTxt");
    std::string block;
    if (!Base64Decode(reply.Item(u"MsgTxt"), &block) || block.size() < 4) return u"<undecodable>";
    uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<uint8_t>(block[i]);
    std::vector<uint8_t> plain(16384);
    uint32_t plainLength = static_cast<uint32_t>(plain.size());
    if (length != block.size() - 4 ||
        xowzip::UnCompress(plain.data(), &plainLength,
                           reinterpret_cast<const uint8_t*>(block.data()) + 4,
                           length) != xowzip::kOk) {
      return u"<undecodable>";
    }
    if (command == u"GET_OFFMSG_TXT") {  // the code page text with its zero byte
      return FromAnsi(std::string(reinterpret_cast<char*>(plain.data()), plainLength - 1));
    }
    return TextFromUtf16LeBytes(plain.data(), plainLength);
  }
  // The text of a GET_OFFMSG_TXT_EX3 packet whose elements fill it exactly.
  static std::u16string Ex3PacketText(const std::string& bytes) {
    auto byte = [&](size_t at) { return at < bytes.size() ? static_cast<uint8_t>(bytes[at]) : 0; };
    size_t at = 1 + byte(0) + 1;               // command, status
    at += 1 + byte(at);                        // Type
    at += 2 + (byte(at) << 8 | byte(at + 1));  // Reciever
    const size_t length = byte(at) << 8 | byte(at + 1);
    at += 2;
    if (at + length + 4 != bytes.size()) return u"<malformed>";
    return TextFromUtf16LeBytes(reinterpret_cast<const uint8_t*>(bytes.data()) + at, length);
  }
  std::string NotSentLine(std::u16string_view command, std::u16string_view id = u"m1") {
    return "Text reply does not fit its form, not sent, message kept,Owner=alice,MsgID=" +
           ToUtf8(id) + ",Command=" + ToUtf8(command) + ",";
  }
  // The MsgID of alice's first stored message.
  std::u16string FirstId() {
    owner_.replies.clear();
    Request(u"alice", {{u"Command", u"GET_OFFMSG_INDEX"}});
    EXPECT_EQ(owner_.replies.size(), 1u);
    return owner_.replies.empty() ? u"" : owner_.replies[0].Item(u"MsgID");
  }
  // Fetches alice's message `id` with `form`: one reply came, and it carried all of `text`.
  bool FetchedWhole(std::u16string_view form, const std::u16string& text,
                    std::u16string_view id = u"m1") {
    owner_.replies.clear();
    Request(u"alice", {{u"Command", std::u16string(form)}, {u"MsgID", std::u16string(id)}});
    return owner_.replies.size() == 1 && DeliveredText(owner_.replies[0]) == text;
  }
  // `form` refuses alice's message `id`: no reply, `line` logged once more, the message kept;
  // `fallback` then delivers it whole and it goes.
  void ExpectRefusedThenDeliveredBy(std::u16string_view form, std::string_view line,
                                    std::u16string_view fallback, const std::u16string& text,
                                    std::u16string_view id = u"m1", bool group = false) {
    const size_t logged = Occurrences(line);
    owner_.replies.clear();
    Request(u"alice", {{u"Command", std::u16string(form)}, {u"MsgID", std::u16string(id)}});
    EXPECT_TRUE(owner_.replies.empty());
    EXPECT_EQ(Occurrences(line), logged + 1);
    EXPECT_EQ(CountOf(u"alice", group), 1);
    EXPECT_TRUE(FetchedWhole(fallback, text, id));
    EXPECT_EQ(CountOf(u"alice", group), 0);
  }
  size_t Occurrences(std::string_view line) {
    const std::string log = LogText();
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  }
};

TEST_F(TextRepliesTest, Ex2RepliesWithTheStoredTextAndDeletesIt) {
  const std::u16string text = Keyed();
  StoreText(text);
  EXPECT_EQ(Fetch(u"get_offmsg_txt_ex2"), 1);
  ASSERT_EQ(owner_.replies.size(), 1u);
  const RecordedReply& reply = owner_.replies[0];
  EXPECT_EQ(reply.Item(u"MsgTxt"), text);
  EXPECT_EQ(reply.Item(u"Command"), u"GET_OFFMSG_TXT_EX2");
  EXPECT_EQ(reply.Item(u"Sender"), u"<missing>");
  // The reply comes "from" the message's sender.
  EXPECT_EQ(reply.r3, u"sam");
  EXPECT_EQ(reply.r4, u"alice");
  EXPECT_EQ(CountOf(u"alice"), 0);
}

TEST_F(TextRepliesTest, Ex3WithCommandSdkKeepsTheMessage) {
  StoreText(Keyed(u"sdk"));
  EXPECT_EQ(Fetch(u"GET_OFFMSG_TXT_EX3", {{u"CommandSDK", u"1"}, {u"CommandSDKTime", u"0"}}), 1);
  ASSERT_EQ(owner_.replies.size(), 1u);
  EXPECT_EQ(owner_.replies[0].Item(u"MsgTxt"), Keyed(u"sdk"));
  EXPECT_EQ(owner_.replies[0].Item(u"CreateTime"), u"1700000000");
  EXPECT_EQ(CountOf(u"alice"), 1);
  // Parts older than CommandSDKTime are not sent.
  Fetch(u"GET_OFFMSG_TXT_EX3", {{u"CommandSDK", u"1"}, {u"CommandSDKTime", u"1700000001"}});
  EXPECT_TRUE(owner_.replies.empty());

  Fetch(u"GET_OFFMSG_TXT_EX3");  // the packet form deletes
  ASSERT_EQ(owner_.replies.size(), 1u);
  const std::string& bytes = owner_.replies[0].bytes;
  const std::string body = ToUtf16LeBytes(Keyed(u"sdk"));
  const std::string length = {static_cast<char>(body.size() >> 8), static_cast<char>(body.size())};
  EXPECT_EQ(bytes.substr(bytes.size() - 4 - body.size() - 2, 2), length);
  EXPECT_EQ(bytes.substr(bytes.size() - 4 - body.size(), body.size()), body);
  EXPECT_EQ(CountOf(u"alice"), 0);
}

TEST_F(TextRepliesTest, PausesAfterEveryTwentyReplies) {
  for (int i = 0; i < 45; ++i) StoreText(Keyed());
  Fetch(u"GET_OFFMSG_TXT_EX2");
  EXPECT_EQ(owner_.replies.size(), 45u);
  EXPECT_EQ(sleeper_.pauses, std::vector<milliseconds>(2, milliseconds(200)));

  // GET_OFFMSG_TXT_EX counts across requests: 3 x 15 replies make two pauses.
  sleeper_.pauses.clear();
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 15; ++i) StoreText(Keyed());
    Fetch(u"GET_OFFMSG_TXT_EX");
    EXPECT_EQ(owner_.replies.size(), 15u);
  }
  EXPECT_EQ(sleeper_.pauses, std::vector<milliseconds>(2, milliseconds(100)));
}

TEST_F(TextRepliesTest, TxtSendsTheTextRecompressedInTheSystemCodePage) {
  const std::u16string text = Keyed(u"\u4E2D\u6587");
  StoreText(text);
  Fetch(u"GET_OFFMSG_TXT");
  ASSERT_EQ(owner_.replies.size(), 1u);
  std::string block;
  ASSERT_TRUE(Base64Decode(owner_.replies[0].Item(u"MsgTxt"), &block));
  ASSERT_GT(block.size(), 4u);
  const uint32_t length = static_cast<uint8_t>(block[0]) | static_cast<uint8_t>(block[1]) << 8 |
                          static_cast<uint8_t>(block[2]) << 16 |
                          static_cast<uint8_t>(block[3]) << 24;
  EXPECT_EQ(length, block.size() - 4);
  uint8_t plain[4096];
  uint32_t plainLength = sizeof plain;
  ASSERT_EQ(xowzip::UnCompress(plain, &plainLength,
                               reinterpret_cast<const uint8_t*>(block.data()) + 4, length),
            xowzip::kOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), plainLength), ToAnsi(text) + '\0');
  EXPECT_EQ(owner_.replies[0].Item(u"Sender"), u"sam");
  EXPECT_EQ(CountOf(u"alice"), 0);
}

TEST_F(TextRepliesTest, DestructiveFetchesDeleteOnlyThePartsTheyDelivered) {
  for (std::u16string_view form :
       {u"GET_OFFMSG_TXT", u"GET_OFFMSG_TXT_EX", u"GET_OFFMSG_TXT_EX2", u"GET_OFFMSG_TXT_EX3"}) {
    SCOPED_TRACE(ToUtf8(form));
    std::map<std::u16string, int> delivered;  // stored text -> replies that carried it
    int stored = 0;
    auto storePart = [&] {
      const std::u16string text = Keyed(std::u16string(form) + u" part " + DecimalText(stored++));
      delivered[text] = 0;
      StoreMessage(u"carol", text);
    };
    for (int i = 0; i < 60; ++i) storePart();
    // Ten more parts of the same MsgID arrive while the replies go out.
    owner_.afterSend = [&] {
      if (owner_.replies.size() % 6 == 0 && stored < 70) storePart();
    };
    auto fetch = [&] {
      owner_.replies.clear();
      Request(u"carol", {{u"Command", std::u16string(form)}, {u"MsgID", u"m1"}});
      for (const RecordedReply& reply : owner_.replies) ++delivered[DeliveredText(reply)];
      return owner_.replies.size();
    };
    EXPECT_EQ(fetch(), 60u);
    owner_.afterSend = nullptr;
    EXPECT_EQ(stored, 70);
    EXPECT_EQ(CountOf(u"carol"), 10);
    EXPECT_EQ(fetch(), 10u);
    EXPECT_EQ(CountOf(u"carol"), 0);
    EXPECT_EQ(delivered.size(), 70u);
    for (const auto& [text, times] : delivered) EXPECT_EQ(times, 1) << ToUtf8(text);
  }
}

TEST_F(TextRepliesTest, TextsTheUnpackBufferCannotHoldAreKept) {
  // 1798 units and the zero unit decompress to 3598 bytes, the longest the buffer takes.
  std::u16string text = Keyed();
  text.append(1798 - text.size(), u' ');
  StoreText(text);
  EXPECT_TRUE(FetchedWhole(u"GET_OFFMSG_TXT_EX2", text));
  EXPECT_EQ(CountOf(u"alice"), 0);

  // One unit more fills the 3600 bytes: refused by both forms, logged, kept; a form with a
  // larger buffer delivers it, and only then it goes.
  text.push_back(u' ');
  StoreText(text);
  Fetch(u"GET_OFFMSG_TXT_EX2");
  EXPECT_TRUE(owner_.replies.empty());
  EXPECT_EQ(Occurrences("离线消息长度不正确，丢弃"), 1u);
  ExpectRefusedThenDeliveredBy(u"GET_OFFMSG_TXT_EX3", "离线消息长度不正确，丢弃", u"GET_OFFMSG_TXT",
                               text);

  // The client may delete what it cannot fetch.
  StoreText(text);
  Fetch(u"GET_OFFMSG_TXT_EX2");
  EXPECT_EQ(CountOf(u"alice"), 1);
  Request(u"alice", {{u"Command", u"DEL_OFFMSG"}, {u"MsgID", u"m1"}});
  EXPECT_EQ(CountOf(u"alice"), 0);
}

TEST_F(TextRepliesTest, ExKeepsStoredBlocksLongerThanItsBlock) {
  // Random CJK text barely compresses: find a length whose block is 3069 to 3071 bytes.
  std::mt19937 random(7);
  std::u16string text;
  for (;;) {
    text.push_back(static_cast<char16_t>(0x4E00 + random() % 0x5000));
    const std::string bytes = ToUtf16LeBytes(text);
    uint8_t block[4096];
    uint32_t blockLength = sizeof block;
    xowzip::Compress(block, &blockLength, reinterpret_cast<const uint8_t*>(bytes.data()),
                     static_cast<uint32_t>(bytes.size()));
    if (blockLength > 3068) {
      ASSERT_LE(blockLength, 3071u);
      break;
    }
  }
  StoreMessage(u"alice", text);
  ExpectRefusedThenDeliveredBy(u"GET_OFFMSG_TXT_EX", "离线消息压缩数据过长，丢弃",
                               u"GET_OFFMSG_TXT_EX2", text, FirstId());
}

// The Buffer forms: a random CJK text whose reply is just below the 4095 units that are sent,
// then a sender name that makes the reply exactly 4095 units long, and one unit longer.
TEST_F(TextRepliesTest, BufferRepliesGoOutWholeOrNotAtAll) {
  for (std::u16string_view form : {u"GET_OFFMSG_TXT", u"GET_OFFMSG_TXT_EX"}) {
    SCOPED_TRACE(ToUtf8(form));
    std::mt19937 random(11);
    std::u16string cjk;
    std::u16string text;
    size_t length = 0;
    while (length < 3980) {
      for (int i = 0; i < 20; ++i) cjk.push_back(static_cast<char16_t>(0x4E00 + random() % 0x5000));
      text = Keyed(cjk);
      StoreMessage(u"alice", text, u"s");
      Fetch(form);
      ASSERT_EQ(owner_.replies.size(), 1u);
      length = owner_.replies[0].text.size();
      ASSERT_LT(length, 4095u);
    }
    const std::u16string fits(1 + 4095 - length, u's');
    StoreMessage(u"alice", text, fits);
    ASSERT_TRUE(FetchedWhole(form, text));
    EXPECT_EQ(owner_.replies[0].text.size(), 4095u);
    EXPECT_TRUE(owner_.replies[0].text.ends_with(u"</KVTCData>"));
    EXPECT_EQ(owner_.replies[0].r3, fits);
    EXPECT_EQ(CountOf(u"alice"), 0);

    StoreMessage(u"alice", text, fits + u"s");  // fits the String form
    ExpectRefusedThenDeliveredBy(form, NotSentLine(form), u"GET_OFFMSG_TXT_EX2", text);
  }
}

// The String form escapes the text: each "<" takes four units of the reply.
TEST_F(TextRepliesTest, StringRepliesGoOutWholeOrNotAtAll) {
  // Not envelopes: the messages get generated MsgIDs.
  StoreMessage(u"alice", u"x");
  ASSERT_TRUE(FetchedWhole(u"GET_OFFMSG_TXT_EX2", u"x", FirstId()));
  const size_t extra = 4095 - owner_.replies[0].text.size();
  EXPECT_EQ(CountOf(u"alice"), 0);
  const std::u16string fits =
      u"x" + std::u16string(extra / 4, u'<') + std::u16string(extra % 4, u' ');
  StoreMessage(u"alice", fits);
  ASSERT_TRUE(FetchedWhole(u"GET_OFFMSG_TXT_EX2", fits, FirstId()));
  EXPECT_EQ(owner_.replies[0].text.size(), 4095u);
  EXPECT_EQ(CountOf(u"alice"), 0);

  StoreMessage(u"alice", fits + u" ");
  const std::u16string id = FirstId();
  ExpectRefusedThenDeliveredBy(u"GET_OFFMSG_TXT_EX2", NotSentLine(u"GET_OFFMSG_TXT_EX2", id),
                               u"GET_OFFMSG_TXT_EX3", fits + u" ", id);
}

// A group message of 1798 units beside a receiver summary of 208 units fills the 4095 bytes of a
// packet exactly; with one receiver character more it would take 4097 (these packets always
// have an odd length).
TEST_F(TextRepliesTest, PacketRepliesGoOutWholeOrNotAtAll) {
  for (size_t nameLength : {200, 201}) {
    SCOPED_TRACE(nameLength);
    auto envelope = [](size_t n) {
      return EnvelopeOf(
          {{u"Key", u"M1"}, {u"DisGroupId", u"g"}, {u"Body", std::u16string(n, u'x')}});
    };
    const std::u16string text = envelope(1798 + 1 - envelope(1).size());
    ASSERT_EQ(text.size(), 1798u);
    StoreMessage(u"alice;" + std::u16string(nameLength, u'x'), text);
    if (nameLength == 201) {
      ExpectRefusedThenDeliveredBy(u"GET_OFFMSG_TXT_EX3", NotSentLine(u"GET_OFFMSG_TXT_EX3"),
                                   u"GET_OFFMSG_TXT_EX2", text, u"m1", true);
      continue;
    }
    ASSERT_TRUE(FetchedWhole(u"GET_OFFMSG_TXT_EX3", text));
    const std::string& bytes = owner_.replies[0].bytes;
    EXPECT_EQ(bytes.size(), 4095u);
    EXPECT_EQ(bytes.substr(bytes.size() - 4), Be32(kNow));
    EXPECT_EQ(CountOf(u"alice", true), 0);
  }
}

TEST_F(TextRepliesTest, FailedSendKeepsTheMessage) {
  StoreText(Keyed());
  owner_.sendResult = 5;
  Fetch(u"GET_OFFMSG_TXT_EX2");
  EXPECT_EQ(owner_.replies.size(), 1u);
  EXPECT_EQ(Occurrences("发送离线消息数据失败，错误码：5"), 1u);
  Fetch(u"GET_OFFMSG_TXT");
  owner_.sendResult = 0;
  EXPECT_EQ(CountOf(u"alice"), 1);
  Fetch(u"GET_OFFMSG_TXT_EX");  // the client asks again
  ASSERT_EQ(owner_.replies.size(), 1u);
  std::string block;
  ASSERT_TRUE(Base64Decode(owner_.replies[0].Item(u"MsgTxt"), &block));
  EXPECT_EQ(static_cast<uint8_t>(block[0]), block.size() - 4);
  EXPECT_EQ(CountOf(u"alice"), 0);
}

}  // namespace
}  // namespace pigeonbox::testutil
