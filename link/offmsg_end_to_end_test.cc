// The offline-message service behind the real application-server link and the stand-in
// application server: users store messages and ask for them over TCP, as clients do.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "link/wire/envelope.h"
#include "markup/base64.h"
#include "offmsg/offmsg_service.h"
#include "suite/appserver_user.h"
#include "suite/xow_zip.h"
#include "testutil/link/link_fixture.h"
#include "testutil/offmsg/service_fixture.h"

namespace pigeonbox::testutil {
namespace {

constexpr int64_t kNow = 1700000000;

// Builds the real service; the transfer service and the configuration centre stay test pieces.
class ServiceFactory final : public TestFactory {
 public:
  ServiceFactory(TestPieces& pieces, OffMsgServiceEnv env) : TestFactory(pieces), env_(env) {}
  std::unique_ptr<MessageService> CreateMessageService(LinkOwner& owner) override {
    return std::make_unique<OffMsgService>(owner, env_);
  }

 private:
  OffMsgServiceEnv env_;
};

// Counts the pauses of the reply pacing; called on the link's delivery threads.
class PauseCounter final : public Sleeper {
 public:
  void Sleep(std::chrono::milliseconds duration) override {
    ++pauses;
    pausedMs += duration.count();
  }
  std::atomic<int> pauses{0};
  std::atomic<int64_t> pausedMs{0};
};

// A short text of a packet reply: its length byte, then the text with its zero unit.
std::string ShortText(std::u16string_view text) {
  return static_cast<char>((text.size() + 1) * 2) + ToUtf16LeBytes(text);
}
// The head of every packet reply: the command and a zero byte.
std::string Packet(std::u16string_view command) {
  return ShortText(command) + '\0';
}

// The GET_OFFMSG_SERVERCONFIG reply with the local-mode flag of BInfo.ini: 54 bytes.
const std::string kServerConfigReply = Packet(u"GET_OFFMSG_SERVERCONFIG") + Be32(1);

// The UTF-16 text an envelope reply carries in `key` (object envelopes arrive as bytes).
std::u16string ItemOf(const UserDelivery& reply, std::u16string_view key) {
  RecordedReply recorded;
  recorded.isText = reply.isText;
  recorded.text = reply.text;
  recorded.bytes = reply.data;
  return recorded.Item(key);
}

// Decompresses the 4-byte-length-prefixed Base64 block of a MsgTxt item.
std::string UnpackBlock(std::u16string_view base64) {
  std::string block;
  EXPECT_TRUE(Base64Decode(base64, &block));
  if (block.size() < 4) return "<short block>";
  uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<uint8_t>(block[i]);
  EXPECT_EQ(length, block.size() - 4);
  std::string plain(16384, '\0');
  uint32_t plainLength = static_cast<uint32_t>(plain.size());
  EXPECT_EQ(xowzip::UnCompress(reinterpret_cast<uint8_t*>(plain.data()), &plainLength,
                               reinterpret_cast<const uint8_t*>(block.data()) + 4, length),
            xowzip::kOk);
  plain.resize(plainLength);
  return plain;
}

class EndToEndTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    dir_.Write("Config/KVTServer.xml",
               "<KVTServers><DBServer><DB_Setting DBConnstring=\"DSN=users\"/></DBServer>"
               "</KVTServers>");
    WriteAppConfig("Quorvel.KVT.IM|Quorvel.KVT.Sms|");
    // A Setting element without StoreDisGroupMaxCount turns group storage off.
    std::string appConfig = dir_.Read("AppConfig/AppOffMsg.xml");
    const std::string limit = "StoreMaxCount=\"99\"";
    appConfig.insert(appConfig.find(limit) + limit.size(), " StoreDisGroupMaxCount=\"300\"");
    dir_.Write("AppConfig/AppOffMsg.xml", appConfig);
    dir_.Write("BInfo.ini", "[OffMsgLocalMode]\r\nIsEnable=1\r\n");
    dir_.Write("invaliduser.txt", "Mallory\r\n");
    serviceLog_.Open(dir_.path() + "Logs", "Pigeonbox.log");
    serviceFactory_ = std::make_unique<ServiceFactory>(
        pieces_, TestServiceEnv(dir_.path(), fs_, serviceLog_, clock_, sleeper_));
    env_.factory = serviceFactory_.get();
    ASSERT_EQ(StartLink(), 0);
  }
  void TearDown() override {
    if (link_) link_->Stop();
    link_.reset();
    LinkTest::TearDown();
  }

  AppServerUser& User(std::u16string_view name) {
    auto& user = users_.emplace_back(std::make_unique<AppServerUser>());
    EXPECT_EQ(user->Login("127.0.0.1", port_, name), 0);
    return *user;
  }
  void Send(AppServerUser& user, const Items& items) {
    EXPECT_EQ(
        user.Send({u"client", u"OffMsg_Query", u"OffMsgApp", u"OffMsgApp", EnvelopeOf(items)}), 0);
  }
  // `from` leaves a message for `receivers`.
  void Leave(AppServerUser& from, std::u16string_view receivers, const Items& items,
             std::u16string_view type = u"Quorvel.KVT.IM") {
    EXPECT_EQ(from.Send({u"client", std::u16string(type), u"alice", std::u16string(receivers),
                         EnvelopeOf(items)}),
              0);
  }
  // What the service sent the user in answer to everything the user sent so far. One user's
  // messages are handled in order, so the answer to a GET_OFFMSG_SERVERCONFIG sent now closes
  // the replies to the earlier ones (and the messages the user left are stored by then).
  std::vector<UserDelivery> Drain(AppServerUser& user) {
    Send(user, {{u"Command", u"GET_OFFMSG_SERVERCONFIG"}});
    std::vector<UserDelivery> replies;
    while (auto reply = user.Receive(std::chrono::seconds(10))) {
      if (!reply->isText && reply->data == kServerConfigReply) return replies;
      replies.push_back(*reply);
    }
    ADD_FAILURE() << "no server configuration reply";
    return replies;
  }
  std::vector<UserDelivery> Ask(AppServerUser& user, const Items& items) {
    Send(user, items);
    return Drain(user);
  }
  int Count(AppServerUser& user, bool group = false) {
    Items items = {{u"Command", u"GET_OFFMSG_SUM_3"}, {u"CommandSDK", u"1"}};
    if (group) items.push_back({u"CommandEx", u"GET_DISGROUP_OFFMSG_SUM"});
    const std::vector<UserDelivery> replies = Ask(user, items);
    if (replies.empty()) return 0;  // no reply for a count of 0
    EXPECT_EQ(replies.size(), 1u);
    return ParseDecimal(ItemOf(replies[0], u"Count"));
  }

  PosixFileSystem fs_;
  LogFile serviceLog_;
  ManualClock clock_{kNow};
  PauseCounter sleeper_;
  std::unique_ptr<ServiceFactory> serviceFactory_;
  std::vector<std::unique_ptr<AppServerUser>> users_;
};

TEST_F(EndToEndTest, StoredMessagesAreCountedFetchedAndGone) {
  AppServerUser& bob = User(u"bob");
  for (const char16_t* key : {u"m-1", u"m-2"}) {
    Leave(bob, u"alice;CAROL;", {{u"Key", key}, {u"Body", u"你好, Alice"}});
  }
  Drain(bob);
  AppServerUser& alice = User(u"alice");
  std::vector<UserDelivery> replies = Ask(alice, {{u"Command", u"GET_OFFMSG_SUM_3"}});
  ASSERT_EQ(replies.size(), 1u);
  // The 40-byte count packet, routed back to alice.
  EXPECT_EQ(replies[0].data, Packet(u"GET_OFFMSG_SUM_3") + Be32(2));
  EXPECT_EQ(replies[0].data.size(), 40u);
  EXPECT_EQ(replies[0].route[3], u"alice");
  EXPECT_EQ(kServerConfigReply.size(), 54u);  // the answer every Drain waits for

  replies = Ask(alice, {{u"Command", u"GET_OFFMSG_TXT_EX2"}, {u"MsgID", u"m-1"}});
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_TRUE(replies[0].isText);
  EXPECT_NE(ItemOf(replies[0], u"MsgTxt").find(u"你好, Alice"), std::u16string::npos);
  EXPECT_EQ(replies[0].route[2], u"bob");  // the reply comes as from the message's sender

  replies = Ask(alice, {{u"Command", u"GET_OFFMSG_SUM"}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(ItemOf(replies[0], u"Count"), u"1");  // m-1 was deleted by the fetch
  // Carol (named in upper case) got her own copies, one index reply each; a user without
  // messages hears nothing.
  AppServerUser& carol = User(u"carol");
  EXPECT_EQ(Ask(carol, {{u"Command", u"GET_OFFMSG_INDEX"}}).size(), 2u);
  AppServerUser& dave = User(u"dave");
  EXPECT_TRUE(Ask(dave, {{u"Command", u"GET_OFFMSG_SUM"}}).empty());
  EXPECT_TRUE(Ask(dave, {{u"Command", u"GET_OFFMSG_SUM_3"}}).empty());
}

TEST_F(EndToEndTest, WordLimitQueryIsNotStoredAndTheSdkFetchKeepsTheMessage) {
  AppServerUser& bob = User(u"bob");
  Leave(bob, u"alice", {{u"Command", u"getwordlimit"}}, u"QUORVEL.KVT.SMS");
  Leave(bob, u"alice", {{u"Key", u"k-1"}});
  Drain(bob);
  AppServerUser& alice = User(u"alice");
  std::vector<UserDelivery> replies = Ask(alice, {{u"Command", u"GET_OFFMSG_INDEX"}});
  ASSERT_EQ(replies.size(), 1u);  // the word-limit query was not stored
  EXPECT_EQ(ItemOf(replies[0], u"MsgID"), u"k-1");

  replies =
      Ask(alice, {{u"Command", u"GET_OFFMSG_TXT_EX3"}, {u"MsgID", u"k-1"}, {u"CommandSDK", u"1"}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_FALSE(replies[0].isText);
  EXPECT_EQ(ItemOf(replies[0], u"MsgTxt"), EnvelopeOf({{u"Key", u"k-1"}}));
  EXPECT_EQ(Count(alice), 1);
  // The SDK deletes once it has the text.
  Ask(alice, {{u"Command", u"DEL_OFFMSG"}, {u"MsgID", u"K-1"}});
  EXPECT_EQ(Count(alice), 0);
}

TEST_F(EndToEndTest, DestructiveFetchesInTheirWireForms) {
  AppServerUser& bob = User(u"bob");
  const auto items = [](std::u16string_view key) -> Items {
    return {{u"Key", std::u16string(key)}, {u"Body", u"中文 text"}};
  };
  const auto text = [&](std::u16string_view key) { return EnvelopeOf(items(key)); };
  for (const char16_t* key : {u"M1", u"M2", u"M3"}) Leave(bob, u"alice", items(key));
  Drain(bob);
  AppServerUser& alice = User(u"alice");

  // GET_OFFMSG_TXT: the text in the system code page with its zero byte, compressed again.
  std::vector<UserDelivery> replies =
      Ask(alice, {{u"Command", u"GET_OFFMSG_TXT"}, {u"MsgID", u"M1"}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(UnpackBlock(ItemOf(replies[0], u"MsgTxt")), ToAnsi(text(u"M1")) + '\0');
  EXPECT_EQ(ItemOf(replies[0], u"Sender"), u"bob");
  EXPECT_EQ(Count(alice), 2);

  // GET_OFFMSG_TXT_EX: the stored block as it is, UTF-16LE.
  replies = Ask(alice, {{u"Command", u"GET_OFFMSG_TXT_EX"}, {u"MsgID", u"M2"}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(UnpackBlock(ItemOf(replies[0], u"MsgTxt")), ToUtf16LeBytes(text(u"M2")));
  EXPECT_EQ(Count(alice), 1);

  // GET_OFFMSG_TXT_EX3 without CommandSDK: a packet ending in the text and the creation time.
  replies = Ask(alice, {{u"Command", u"GET_OFFMSG_TXT_EX3"}, {u"MsgID", u"M3"}});
  ASSERT_EQ(replies.size(), 1u);
  const std::string body = ToUtf16LeBytes(text(u"M3")) + Be32(kNow);
  ASSERT_GT(replies[0].data.size(), body.size());
  EXPECT_EQ(replies[0].data.substr(0, 40), Packet(u"GET_OFFMSG_TXT_EX3"));
  EXPECT_EQ(replies[0].data.substr(replies[0].data.size() - body.size()), body);
  EXPECT_EQ(Count(alice), 0);
}

// 1,450 CJK characters barely compress: as a Buffer item their block needs more than the 4,095
// characters a text reply sends. Those forms send nothing and keep the message; the String form
// delivers it whole.
TEST_F(EndToEndTest, ALongTextStaysUntilAFormThatCarriesItWhole) {
  std::mt19937 random(3);
  std::u16string body;
  for (int i = 0; i < 1450; ++i) body.push_back(static_cast<char16_t>(0x4E00 + random() % 0x5000));
  AppServerUser& bob = User(u"bob");
  Leave(bob, u"alice", {{u"Key", u"L1"}, {u"Body", body}});
  Drain(bob);
  AppServerUser& alice = User(u"alice");
  for (const char16_t* form : {u"GET_OFFMSG_TXT", u"GET_OFFMSG_TXT_EX"}) {
    EXPECT_TRUE(Ask(alice, {{u"Command", form}, {u"MsgID", u"L1"}}).empty()) << ToUtf8(form);
    EXPECT_EQ(Count(alice), 1);
  }
  const std::string log = dir_.Read("Logs/Pigeonbox.log");
  for (const char* form : {"GET_OFFMSG_TXT,", "GET_OFFMSG_TXT_EX,"}) {
    EXPECT_NE(log.find(std::string("not sent, message kept,Owner=alice,MsgID=L1,Command=") + form),
              std::string::npos)
        << log;
  }
  const std::vector<UserDelivery> replies =
      Ask(alice, {{u"Command", u"GET_OFFMSG_TXT_EX2"}, {u"MsgID", u"L1"}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(replies[0].text.ends_with(u"</KVTCData>"));
  EXPECT_EQ(ItemOf(replies[0], u"MsgTxt"), EnvelopeOf({{u"Key", u"L1"}, {u"Body", body}}));
  EXPECT_EQ(Count(alice), 0);
}

TEST_F(EndToEndTest, IndexPacketsByteForByte) {
  AppServerUser& bob = User(u"bob");
  const std::u16string title(126, u't');
  Leave(bob, u"alice",
        {{u"Key", u"M1"}, {u"Title", title}, {u"SessionDescription", std::u16string(127, u's')}});
  Leave(bob, u"alice", {{u"Key", u"M2"}});
  Drain(bob);
  AppServerUser& alice = User(u"alice");
  const std::vector<UserDelivery> replies = Ask(alice, {{u"Command", u"GET_OFFMSG_INDEX_3"}});
  ASSERT_EQ(replies.size(), 2u);  // one per index record
  // Title, SessionDescription, Count, CreateTime: 126 units have length byte 254, 127 units
  // wrap to 0 (and no bytes), an empty text is 02 00 00.
  const std::string tails[] = {
      "\xFE" + ToUtf16LeBytes(title) + '\0' + std::string("\0\x01", 2) + Be32(kNow),
      std::string("\x02\0\0\x02\0\0\0\x01", 8) + Be32(kNow)};
  for (int i = 0; i < 2; ++i) {
    const std::string& bytes = replies[i].data;
    const std::string head =
        Packet(u"GET_OFFMSG_INDEX_3") + ShortText(i == 0 ? u"M1" : u"M2") + ShortText(u"client");
    ASSERT_GT(bytes.size(), head.size() + 2 + tails[i].size());
    EXPECT_EQ(bytes.substr(0, head.size()), head);
    // The receiver's long text: a 2-byte big-endian length, then that many bytes.
    const size_t receiverBytes = static_cast<uint8_t>(bytes[head.size()]) << 8 |
                                 static_cast<uint8_t>(bytes[head.size() + 1]);
    EXPECT_EQ(bytes.size(), head.size() + 2 + receiverBytes + tails[i].size());
    EXPECT_EQ(bytes.substr(bytes.size() - tails[i].size()), tails[i]);
  }
}

TEST_F(EndToEndTest, ReceiversOuterImExcludedAndGroups) {
  AppServerUser& bob = User(u"bob");
  Leave(bob, u"carol[12345];dan[1];erin[1234567890]", {{u"OuterIM", u"1"}});
  Leave(bob, u"MALLORY;gina;mallory", {});
  Leave(bob, u"a1;b1;c1;d1;e1", {{u"DisGroupId", u"g1"}, {u"Key", u"G1"}});
  Drain(bob);
  // OuterIM pieces are "name[digits]" of at least 10 characters with at most 9 digits.
  EXPECT_EQ(Count(User(u"carol")), 1);
  EXPECT_EQ(Count(User(u"dan")), 0);
  EXPECT_EQ(Count(User(u"erin")), 0);
  // The excluded user is left out whatever the letter case; the others get their copy.
  EXPECT_EQ(Count(User(u"mallory")), 0);
  EXPECT_EQ(Count(User(u"gina")), 1);

  AppServerUser& a1 = User(u"a1");
  EXPECT_EQ(Count(a1), 0);  // a group message, not a person one
  EXPECT_EQ(Count(a1, true), 1);
  const std::vector<UserDelivery> index =
      Ask(a1, {{u"Command", u"GET_OFFMSG_INDEX"}, {u"CommandEx", u"GET_DISGROUP_OFFMSG_INDEX"}});
  ASSERT_EQ(index.size(), 1u);
  EXPECT_EQ(ItemOf(index[0], u"MsgID"), u"G1");
  EXPECT_NE(ItemOf(index[0], u"Reciever").find(u"a1;b1;c1;d1; ..."), std::u16string::npos);
}

TEST_F(EndToEndTest, FortyFiveTextsComeWithTwoPauses) {
  AppServerUser& bob = User(u"bob");
  const auto items = [](int i) -> Items { return {{u"Key", u"M1"}, {u"Body", DecimalText(i)}}; };
  for (int i = 0; i < 45; ++i) Leave(bob, u"alice", items(i));
  Drain(bob);
  AppServerUser& alice = User(u"alice");
  const std::vector<UserDelivery> replies =
      Ask(alice, {{u"Command", u"GET_OFFMSG_TXT_EX2"}, {u"MsgID", u"M1"}});
  ASSERT_EQ(replies.size(), 45u);
  for (int i = 0; i < 45; ++i) EXPECT_EQ(ItemOf(replies[i], u"MsgTxt"), EnvelopeOf(items(i)));
  EXPECT_EQ(sleeper_.pauses.load(), 2);
  EXPECT_EQ(sleeper_.pausedMs.load(), 400);
  EXPECT_EQ(Count(alice), 0);
}

}  // namespace
}  // namespace pigeonbox::testutil
