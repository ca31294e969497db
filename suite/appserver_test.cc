// The stand-in application server: registration, routing and misbehaving peers.
#include "suite/appserver.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "suite/appserver_socket.h"
#include "suite/appserver_user.h"
#include "testutil/suite/appserver_fixture.h"

namespace pigeonbox {
namespace {

using testutil::Inbox;

class RegistrationTest : public testutil::AppServerTest {};

TEST_F(RegistrationTest, DuplicateIdentityAndBadRequestsAreRefusedWithText) {
  AppServerClient first, second, third;
  Inbox inbox;
  ASSERT_EQ(Launch(first, u"guid-1", u"OffMsg", &inbox), 0);

  std::u16string error;
  EXPECT_EQ(second.RegisterApp(u"127.0.0.1", port_, u"GUID-1", u"Other", 1, kTypes, &error, 512),
            appwire::kDuplicateIdentity);
  EXPECT_NE(error.find(u"already registered"), std::u16string::npos);

  EXPECT_EQ(third.RegisterApp(u"127.0.0.1", port_, u"", u"Other", 1, kTypes, &error, 512),
            appwire::kBadRequest);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(third.RegisterApp(u"127.0.0.1", port_, u"g3", u"Other", 1, u"<A><B></A>", &error, 12),
            appwire::kBadRequest);
  EXPECT_EQ(error.size(), 11u);  // cut to capacity - 1

  // Failed registrations leave nothing behind: the same client can register afterwards.
  EXPECT_EQ(third.RegisterApp(u"127.0.0.1", port_, u"g3", u"Other", 1, kTypes, &error, 512), 0);
}

TEST_F(RegistrationTest, StartNeedsRegistrationAndUnreachableServerFails) {
  AppServerClient app;
  std::u16string error;
  EXPECT_EQ(app.StartApp(u"127.0.0.1", port_, u"never", u"", {}, 16, &error, 512),
            appwire::kNotRegistered);
  EXPECT_FALSE(error.empty());

  server_->Stop();
  AppServerClient late;
  EXPECT_EQ(late.RegisterApp(u"127.0.0.1", port_, u"g", u"n", 1, kTypes, &error, 512),
            appwire::kUnreachable);
}

TEST(RequestTypesTest, ListWithTrailingBarAndNestedElement) {
  std::vector<std::u16string> types;
  ASSERT_TRUE(
      ParseRequestTypes(u"<AppRegInfo><Request_Type>A|b||</Request_Type></AppRegInfo>", &types));
  EXPECT_EQ(types, (std::vector<std::u16string>{u"A", u"b"}));
  ASSERT_TRUE(ParseRequestTypes(u"<Request_Type>Only</Request_Type><Other/>", &types));
  EXPECT_EQ(types, (std::vector<std::u16string>{u"Only"}));
  EXPECT_TRUE(ParseRequestTypes(u"<AppRegInfo/>", &types));
  EXPECT_TRUE(types.empty());
  EXPECT_FALSE(ParseRequestTypes(u"<a><b></a>", &types));
}

class RoutingTest : public testutil::AppServerTest {
 protected:
  void SetUp() override {
    AppServerTest::SetUp();
    ASSERT_EQ(Launch(app_, u"guid-off", u"OffMsg", &inbox_), 0);
    ASSERT_EQ(alice_.Login("127.0.0.1", port_, u"alice"), 0);
  }
  Inbox inbox_;  // outlives the application's lanes
  AppServerClient app_;
  AppServerUser alice_;
};

TEST_F(RoutingTest, RegisteredTypeInOtherCaseAndAppNameReachTheApplication) {
  ASSERT_EQ(alice_.Send({u"src-1", u"im_MSG", u"bob", u"bob;carol", u"<KVTCData/>", 7}), 0);
  ASSERT_EQ(alice_.Send({u"src-2", u"GET_SUM", u"offmsg", u"", u"<req/>", 0}), 0);
  ASSERT_TRUE(inbox_.WaitFor(2));
  auto got = inbox_.messages();
  // Both come from alice, so they share a lane and keep their order.
  EXPECT_EQ(got[0].srcIdentifier, u"src-1");
  EXPECT_EQ(got[0].type, u"im_MSG");
  EXPECT_EQ(got[0].sender, u"alice");
  EXPECT_EQ(got[0].receiver, u"bob");
  EXPECT_EQ(got[0].receiverList, u"bob;carol");
  EXPECT_EQ(got[0].data, u"<KVTCData/>");
  EXPECT_EQ(got[0].value, 7u);
  EXPECT_EQ(got[1].type, u"GET_SUM");
  EXPECT_EQ(got[1].receiver, u"offmsg");
}

TEST_F(RoutingTest, UnknownTypeAndReceiverIsDroppedWithALogLine) {
  ASSERT_EQ(alice_.Send({u"s", u"Nothing", u"nobody", u"", u"lost", 0}), 0);
  ASSERT_EQ(alice_.Send({u"s", u"IM_Msg", u"bob", u"", u"kept", 0}), 0);
  ASSERT_TRUE(inbox_.WaitFor(1));
  EXPECT_EQ(inbox_.messages()[0].data, u"kept");
  EXPECT_TRUE(LogHas("no application for type Nothing"));
}

TEST_F(RoutingTest, RepliesGoToTheUserOfTheFourthRoutingText) {
  AppServerUser bob;
  ASSERT_EQ(bob.Login("127.0.0.1", port_, u"bob"), 0);
  EXPECT_EQ(app_.SendTextMsg(u"guid-off", u"src", u"T", u"OffMsg", u"ALICE", u"hello \u4f60"), 0);
  const char bytes[] = {1, 0, 2};
  EXPECT_EQ(app_.SendMsgWEx(u"guid-off", u"src", u"T", u"OffMsg", u"alice", bytes, 3), 0);
  EXPECT_EQ(app_.SendTextMsg(u"guid-off", u"src", u"T", u"OffMsg", u"nobody", u"x"), 0);

  auto text = alice_.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->isText);
  EXPECT_EQ(text->text, u"hello \u4f60");
  EXPECT_EQ(text->route[2], u"OffMsg");
  EXPECT_EQ(text->route[3], u"ALICE");
  auto data = alice_.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(data);
  EXPECT_FALSE(data->isText);
  EXPECT_EQ(data->data, std::string(bytes, 3));

  // The reply to an unknown user is dropped and logged; bob got nothing.
  EXPECT_EQ(app_.SendTextMsg(u"guid-off", u"s", u"T", u"OffMsg", u"bob", u"for bob"), 0);
  auto forBob = bob.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(forBob);
  EXPECT_EQ(forBob->text, u"for bob");
  EXPECT_TRUE(LogHas("no logged-in user nobody"));
}

// A raw connection that writes bytes as they are, to play a misbehaving peer.
class RawPeer {
 public:
  explicit RawPeer(uint16_t port) : fd_(appwire::ConnectTcp("127.0.0.1", port)) {}
  ~RawPeer() { close(fd_); }
  void Write(const std::string& bytes) { appwire::SendAll(fd_, bytes); }
  // True when the server closed the connection (bounded wait).
  bool ClosedByServer() {
    appwire::FrameBuffer buffer;
    std::string body;
    return appwire::ReadFrame(fd_, &buffer, &body, std::chrono::seconds(10)) ==
           appwire::ReadResult::kClosed;
  }

 private:
  int fd_;
};

// Replies that the user's socket cannot take at once wait in the server and follow, whole and
// in order, once the user reads again.
TEST_F(RoutingTest, RepliesToAUserWhoReadsLateArriveWholeAndInOrder) {
  // A user with a small receive buffer, which the replies below overrun many times over.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  appwire::FrameBuffer buffer;
  std::string body;
  ASSERT_TRUE(
      appwire::SendAll(fd, appwire::FrameWriter(appwire::Op::kLogin).Text(u"dave").Finish()));
  ASSERT_EQ(appwire::ReadFrame(fd, &buffer, &body, std::chrono::seconds(10)),
            appwire::ReadResult::kFrame);

  constexpr int kReplies = 96;  // 6 MiB: more than the server's socket takes, within the backlog
  std::string block(64 * 1024, '\0');
  for (int i = 0; i < kReplies; ++i) {
    block[0] = static_cast<char>(i);
    ASSERT_EQ(app_.SendMsgWEx(u"guid-off", u"src", u"T", u"OffMsg", u"dave", block.data(),
                              static_cast<uint32_t>(block.size())),
              0);
  }
  for (int i = 0; i < kReplies; ++i) {
    ASSERT_EQ(appwire::ReadFrame(fd, &buffer, &body, std::chrono::seconds(10)),
              appwire::ReadResult::kFrame)
        << "reply " << i;
    appwire::FrameReader reader(body);
    std::u16string route;
    uint8_t kind = 0;
    std::string data;
    for (int r = 0; r < 4; ++r) reader.Text(&route);
    ASSERT_TRUE(reader.U8(&kind) && reader.Bytes(&data) && reader.Done());
    ASSERT_EQ(data.size(), block.size());
    EXPECT_EQ(data[0], static_cast<char>(i));
  }
  close(fd);
}

TEST_F(RoutingTest, MalformedFramesCloseOnlyTheirConnection) {
  const std::string cases[] = {
      std::string("\xff\xff\xff\x7f", 4),                          // length beyond the bound
      std::string("\0\0\0\0", 4),                                  // empty body
      std::string("\x05\0\0\0\x42garb", 9),                        // unknown operation
      std::string("\x06\0\0\0\x06\x03\0\0\0\x41", 10),             // login with an odd text length
      std::string("\x05\0\0\0\x06\x10\0\0\0", 9),                  // text longer than the frame
      appwire::FrameWriter(appwire::Op::kVersion).U8(1).Finish(),  // trailing bytes
  };
  for (const auto& bytes : cases) {
    RawPeer peer(port_);
    peer.Write(bytes);
    EXPECT_TRUE(peer.ClosedByServer());
  }
  EXPECT_TRUE(LogHas("frame length out of bounds"));
  EXPECT_TRUE(LogHas("malformed frame"));

  // The application and the user were not disturbed.
  ASSERT_EQ(alice_.Send({u"s", u"IM_Msg", u"bob", u"", u"still here", 0}), 0);
  ASSERT_TRUE(inbox_.WaitFor(1));
  EXPECT_EQ(inbox_.messages()[0].data, u"still here");
}

}  // namespace
}  // namespace pigeonbox
