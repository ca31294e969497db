// The offline-message service behind the real application-server link and the stand-in
// application server: users store messages and ask for them over TCP, as clients do.
#include <gtest/gtest.h>

#include "link/envelope.h"
#include "link/link_test_fixture.h"
#include "offmsg/offmsg_service.h"
#include "suite/appserver_user.h"

namespace pigeonbox {
namespace {

class EveryoneExists final : public UserDatabase {
 public:
  Answer Query(std::u16string_view) override { return Answer::kExists; }
};

// Builds the real service; the transfer service and the configuration centre stay test pieces.
class ServiceFactory final : public testutil::TestFactory {
 public:
  ServiceFactory(testutil::TestPieces& pieces, OffMsgServiceEnv env)
      : TestFactory(pieces), env_(std::move(env)) {}
  std::unique_ptr<MessageService> CreateMessageService(LinkOwner& owner) override {
    return std::make_unique<OffMsgService>(owner, env_);
  }

 private:
  OffMsgServiceEnv env_;
};

class EndToEndTest : public testutil::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    dir_.Write("Config/KVTServer.xml",
               "<KVTServers><DBServer><DB_Setting DBConnstring=\"DSN=users\"/></DBServer>"
               "</KVTServers>");
    WriteAppConfig("Quorvel.KVT.IM|Quorvel.KVT.Sms|");
    dir_.Write("BInfo.ini", "[OffMsgLocalMode]\r\nIsEnable=1\r\n");
    serviceLog_.Open(dir_.path() + "Logs", "Pigeonbox.log");
    OffMsgServiceEnv env;
    env.installRoot = dir_.path();
    env.fs = &fs_;
    env.log = &serviceLog_;
    env.openDatabase = [](const std::string&, LogFile&) -> std::unique_ptr<UserDatabase> {
      return std::make_unique<EveryoneExists>();
    };
    serviceFactory_ = std::make_unique<ServiceFactory>(pieces_, env);
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
  // A request to the offline-message application; the replies that arrive within a second.
  std::vector<UserDelivery> Ask(
      AppServerUser& user, std::initializer_list<std::pair<std::u16string, std::u16string>> items) {
    NarrowEnvelope envelope;
    for (const auto& [key, value] : items) envelope.SetItem(key, kTypeString, value);
    UserMessage request{u"client", u"OffMsg_Query", u"OffMsgApp", u"OffMsgApp",
                        FromAnsi(envelope.Text())};
    EXPECT_EQ(user.Send(request), 0);
    std::vector<UserDelivery> replies;
    while (auto reply = user.Receive(std::chrono::seconds(1))) replies.push_back(*reply);
    return replies;
  }

  PosixFileSystem fs_;
  LogFile serviceLog_;
  std::unique_ptr<ServiceFactory> serviceFactory_;
  std::vector<std::unique_ptr<AppServerUser>> users_;
};

TEST_F(EndToEndTest, StoredMessagesAreCountedFetchedAndGone) {
  AppServerUser& bob = User(u"bob");
  for (const char16_t* key : {u"m-1", u"m-2"}) {
    NarrowEnvelope envelope;
    envelope.SetItem(u"Key", kTypeString, key);
    envelope.SetItem(u"Body", kTypeString, u"你好, Alice");
    ASSERT_EQ(bob.Send({u"client", u"Quorvel.KVT.IM", u"alice", u"alice;CAROL;",
                        FromAnsi(envelope.Text())}),
              0);
  }
  AppServerUser& alice = User(u"alice");
  // Both stored messages are in the store before the count: poll through the request itself.
  std::vector<UserDelivery> replies;
  for (int attempt = 0; attempt < 50; ++attempt) {
    replies = Ask(alice, {{u"Command", u"GET_OFFMSG_SUM_3"}});
    if (!replies.empty() && replies[0].data.size() == 40 && replies[0].data[39] == 2) break;
  }
  ASSERT_EQ(replies.size(), 1u);
  // The 40-byte count packet, routed back to alice.
  std::string expected = "\x22";
  for (char16_t c : std::u16string(u"GET_OFFMSG_SUM_3")) expected += {static_cast<char>(c), '\0'};
  expected += std::string("\0\0\0\0\0\0\x02", 7);
  EXPECT_EQ(replies[0].data, expected);
  EXPECT_EQ(replies[0].route[3], u"alice");

  replies = Ask(alice, {{u"Command", u"GET_OFFMSG_TXT_EX2"}, {u"MsgID", u"m-1"}});
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_TRUE(replies[0].isText);
  NarrowEnvelope text;
  ASSERT_TRUE(text.Load(replies[0].text));
  std::u16string stored;
  ASSERT_TRUE(text.GetStringW(u"MsgTxt", &stored));
  EXPECT_NE(stored.find(u"你好, Alice"), std::u16string::npos);
  EXPECT_EQ(replies[0].route[2], u"bob");  // the reply comes as from the message's sender

  replies = Ask(alice, {{u"Command", u"GET_OFFMSG_SUM"}});
  ASSERT_EQ(replies.size(), 1u);
  NarrowEnvelope count;
  ASSERT_TRUE(count.Load(replies[0].text));
  int32_t n = 0;
  ASSERT_TRUE(count.GetLong(u"Count", &n));
  EXPECT_EQ(n, 1);  // m-1 was deleted by the fetch
  // Carol (named in upper case) got her own copies; a user without messages hears nothing.
  AppServerUser& carol = User(u"carol");
  EXPECT_EQ(Ask(carol, {{u"Command", u"GET_OFFMSG_INDEX"}}).size(), 2u);
  AppServerUser& dave = User(u"dave");
  EXPECT_TRUE(Ask(dave, {{u"Command", u"GET_OFFMSG_SUM"}}).empty());
}

TEST_F(EndToEndTest, ServerConfigWordLimitAndKeepingFetch) {
  AppServerUser& bob = User(u"bob");
  NarrowEnvelope limit;
  limit.SetItem(u"Command", kTypeString, u"getwordlimit");
  ASSERT_EQ(bob.Send({u"sms", u"QUORVEL.KVT.SMS", u"alice", u"alice", FromAnsi(limit.Text())}), 0);
  NarrowEnvelope message;
  message.SetItem(u"Key", kTypeString, u"k-1");
  ASSERT_EQ(bob.Send({u"client", u"Quorvel.KVT.IM", u"alice", u"alice", FromAnsi(message.Text())}),
            0);
  AppServerUser& alice = User(u"alice");
  std::vector<UserDelivery> replies;
  for (int attempt = 0; attempt < 50 && replies.empty(); ++attempt) {
    replies = Ask(alice, {{u"Command", u"GET_OFFMSG_INDEX"}});
  }
  ASSERT_EQ(replies.size(), 1u);  // the word-limit query was not stored
  NarrowEnvelope index;
  ASSERT_TRUE(index.Load(replies[0].text));
  std::u16string id;
  ASSERT_TRUE(index.GetStringW(u"MsgID", &id));
  EXPECT_EQ(id, u"k-1");

  // The object-envelope fetch leaves the message stored.
  replies =
      Ask(alice, {{u"Command", u"GET_OFFMSG_TXT_EX3"}, {u"MsgID", u"k-1"}, {u"CommandSDK", u"1"}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_FALSE(replies[0].isText);
  EXPECT_EQ(Ask(alice, {{u"Command", u"GET_OFFMSG_INDEX"}}).size(), 1u);

  // The server configuration: 54 bytes with the local-mode flag of BInfo.ini, read at start.
  replies = Ask(alice, {{u"Command", u"GET_OFFMSG_SERVERCONFIG"}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].data.size(), 54u);
  EXPECT_EQ(replies[0].data.substr(49), std::string("\0\0\0\0\x01", 5));
}

}  // namespace
}  // namespace pigeonbox
