// Text retrieval in all five forms: what each reply carries, when the message goes, the pauses
// between batches, and the parts that are refused.
#include <random>

#include "markup/base64.h"
#include "offmsg/service_test_fixture.h"
#include "suite/xow_zip.h"

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

TEST_F(TextRepliesTest, OverlongTextsAreDroppedAndStillDeleted) {
  // 1799 units and the zero unit decompress to exactly 3600 bytes.
  std::u16string text = Keyed();
  text.append(1799 - text.size(), u' ');
  StoreText(text);
  ASSERT_EQ(CountOf(u"alice"), 1);
  Fetch(u"GET_OFFMSG_TXT_EX2");
  EXPECT_TRUE(owner_.replies.empty());
  EXPECT_EQ(Occurrences("离线消息长度不正确，丢弃"), 1u);
  EXPECT_EQ(CountOf(u"alice"), 0);
}

TEST_F(TextRepliesTest, ExRefusesStoredBlocksThatDoNotFitItsBuffer) {
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
  Request(u"alice", {{u"Command", u"GET_OFFMSG_INDEX"}});
  ASSERT_EQ(owner_.replies.size(), 1u);
  const std::u16string id = owner_.replies[0].Item(u"MsgID");
  owner_.replies.clear();
  Request(u"alice", {{u"Command", u"GET_OFFMSG_TXT_EX"}, {u"MsgID", id}});
  EXPECT_TRUE(owner_.replies.empty());
  EXPECT_EQ(Occurrences("离线消息压缩数据过长，丢弃"), 1u);
  EXPECT_EQ(CountOf(u"alice"), 0);
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
