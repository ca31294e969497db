#include "link/offmsg_app.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <stop_token>
#include <thread>

#include "suite/appserver_socket.h"
#include "suite/appserver_user.h"
#include "testutil/link/link_fixture.h"

namespace pigeonbox {
namespace {

using testutil::LinkTest;
using testutil::RecordedPacket;

void AppendText(std::vector<uint8_t>* out, std::u16string_view text) {
  uint16_t length = static_cast<uint16_t>((text.size() + 1) * 2);
  out->push_back(static_cast<uint8_t>(length >> 8));
  out->push_back(static_cast<uint8_t>(length));
  for (char16_t unit : text) {
    out->push_back(static_cast<uint8_t>(unit));
    out->push_back(static_cast<uint8_t>(unit >> 8));
  }
  out->insert(out->end(), {0, 0});
}

TEST_F(LinkTest, StartsRegistersAndLogsSuccess) {
  WriteAppConfig();
  ASSERT_EQ(StartLink(), 0);
  EXPECT_EQ(link_->config().requestTypes, (std::vector<std::u16string>{u"IM_Msg", u"Group_Msg"}));
  EXPECT_TRUE(link_->IsRequestType(u"im_msg"));
  EXPECT_TRUE(link_->IsRequestType(u"GROUP_MSG"));
  EXPECT_FALSE(link_->IsRequestType(u"IM_Msg2"));
  EXPECT_FALSE(link_->IsRequestType(u""));
  EXPECT_EQ(pieces_.serviceStarts, 1);
  EXPECT_EQ(pieces_.transferStarts, 1);
  EXPECT_EQ(CountLines("Pigeonbox 初始化成功"), 1u);
  auto events = sink_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, 2u);
  EXPECT_EQ(events[0].category, u"service");
  EXPECT_EQ(events[0].eventId, 1600u);
  EXPECT_EQ(events[0].text, u"服务启动成功");
  // The store directories were laid out on the way.
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() + "OffMsg/OffMsgIndex/49"));

  link_->Stop();
  EXPECT_EQ(pieces_.serviceStops, 1);
  EXPECT_EQ(pieces_.transferStops, 1);
  link_->OnMsgArrive(0, u"s", u"t", u"a", u"b", u"", u"d", 0, 0);  // dropped after Stop
  EXPECT_TRUE(pieces_.packets.empty());
}

TEST_F(LinkTest, MessagePacketHasTheExactLayout) {
  WriteAppConfig();
  ASSERT_EQ(StartLink(), 0);
  link_->OnMsgArrive(7, u"src-1", u"IM_Msg", u"alice", u"bob", u"bob;carol",
                     u"<KVTCData></KVTCData>", 0x01020304, 9);
  ASSERT_EQ(pieces_.packets.size(), 1u);
  const RecordedPacket& got = pieces_.packets[0];

  std::vector<uint8_t> expected(13, 0);
  expected[3] = expected[4] = 1;
  AppendText(&expected, u"src-1");
  AppendText(&expected, u"IM_Msg");
  AppendText(&expected, u"alice");
  AppendText(&expected, u"bob");
  expected.insert(expected.end(), {0x01, 0x02, 0x03, 0x04});
  AppendText(&expected, u"<KVTCData></KVTCData>");
  EXPECT_EQ(got.bytes, expected);
  EXPECT_EQ(got.receivers, u"bob;carol");

  // Missing texts other than the data count as empty; a missing data text drops the message.
  link_->OnMsgArrive(0, nullptr, u"T", nullptr, nullptr, nullptr, u"", 0, 0);
  link_->OnMsgArrive(0, u"s", u"T", u"a", u"b", u"b", nullptr, 0, 0);
  ASSERT_EQ(pieces_.packets.size(), 2u);
  EXPECT_EQ(pieces_.packets[1].bytes.size(), 13u + 4 + 6 + 4 + 4 + 4 + 4);
}

TEST_F(LinkTest, OverrunningMessageReachesTheServiceTruncated) {
  WriteAppConfig();
  ASSERT_EQ(StartLink(), 0);
  std::u16string longData(2100, u'x');  // 4202 bytes: cannot fit after the routing texts
  link_->OnMsgArrive(0, u"s", u"T", u"alice", u"bob", u"bob", longData.c_str(), 5, 0);
  ASSERT_EQ(pieces_.packets.size(), 1u);
  const std::vector<uint8_t> bytes = pieces_.packets[0].bytes;
  // Header, four texts of 4 + 4 + 12 + 8 bytes with their lengths, the value, then only the
  // data text's length.
  size_t lengthAt = 13 + (2 + 4) + (2 + 4) + (2 + 12) + (2 + 8) + 4;
  ASSERT_EQ(bytes.size(), lengthAt + 2);
  EXPECT_EQ(bytes[lengthAt] << 8 | bytes[lengthAt + 1], 4202);

  // A data text that only just overruns: 4095 bytes in use would be fine, 4097 are not.
  size_t room = 4095 - (lengthAt + 2);
  std::u16string fits(room / 2 - 1, u'y');
  link_->OnMsgArrive(0, u"s", u"T", u"alice", u"bob", u"bob", fits.c_str(), 5, 0);
  std::u16string over(fits.size() + 1, u'y');
  link_->OnMsgArrive(0, u"s", u"T", u"alice", u"bob", u"bob", over.c_str(), 5, 0);
  ASSERT_EQ(pieces_.packets.size(), 3u);
  EXPECT_EQ(pieces_.packets[1].bytes.size(), 4095u - room % 2);
  EXPECT_EQ(pieces_.packets[2].bytes.size(), lengthAt + 2);

  // The service's reader refuses the data text of the truncated packet.
  PacketBuffer packet;
  ASSERT_TRUE(packet.Load(bytes.data(), bytes.size()));
  std::u16string route[4], data;
  uint32_t value = 0;
  ASSERT_TRUE(testutil::ReadRouting(packet, route));
  EXPECT_EQ(route[2], u"alice");
  ASSERT_TRUE(packet.GetU32(&value));
  EXPECT_FALSE(packet.GetText(&data));
}

TEST_F(LinkTest, MessagesFromUsersReachTheServiceAndRequestsAreAnswered) {
  WriteAppConfig("IM_Msg|Group_Msg|");
  ASSERT_EQ(StartLink(), 0);
  AppServerUser user;
  ASSERT_EQ(user.Login("127.0.0.1", port_, u"alice"), 0);
  // A registered type in other letter case is routed to the application like a stored message;
  // the test service answers only requests.
  ASSERT_EQ(user.Send({u"m1", u"im_msg", u"bob", u"bob;carol", u"<KVTCData/>", 0}), 0);
  ASSERT_EQ(user.Send({u"q1", u"OffMsgRequest", u"OffMsgApp", u"", u"<Q/>", 0}), 0);
  ASSERT_TRUE(pieces_.WaitForPackets(2));
  std::optional<UserDelivery> reply = user.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->route[0], u"q1");
  EXPECT_EQ(reply->route[1], u"OffMsgRequest");
  EXPECT_EQ(reply->route[2], u"OffMsgApp");
  EXPECT_EQ(reply->route[3], u"alice");
  EXPECT_TRUE(reply->isText);
  EXPECT_EQ(reply->text, u"<Q/>");
  EXPECT_FALSE(user.Receive(std::chrono::milliseconds(200)).has_value());

  // Data replies go out the same way.
  const char bytes[] = {'\x01', '\x00', '\x7f'};
  EXPECT_EQ(link_->SendDataReply(u"r1", u"r2", u"r3", u"alice", bytes, 3), 0);
  reply = user.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(reply.has_value());
  EXPECT_FALSE(reply->isText);
  EXPECT_EQ(reply->data, std::string(bytes, 3));
}

// The application is registered (and messages flow) before the service has started, which takes
// seconds against a slow centre or database; what arrives meanwhile waits for the service.
TEST_F(LinkTest, AMessageThatArrivesWhileTheServiceStartsReachesItOnceItRuns) {
  WriteAppConfig();
  AppServerUser user;
  pieces_.onServiceStart = [&] {
    ASSERT_EQ(user.Login("127.0.0.1", port_, u"alice"), 0);
    ASSERT_EQ(user.Send({u"m1", u"IM_Msg", u"bob", u"bob", u"<KVTCData/>", 0}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the delivery comes in
  };
  ASSERT_EQ(StartLink(), 0);
  ASSERT_TRUE(pieces_.WaitForPackets(1));
}

TEST_F(LinkTest, ApplicationServerAddressComesFromServerConfigurationWhenFileHasNone) {
  WriteAppConfig("IM_Msg", "<!-- no AppSvrInfo -->");
  dir_.Write("Config/KVTServer.xml",
             "<KVTServers><APPServer><Basic_Setting><IP>127.0.0.1</IP><TCPPort>" +
                 std::to_string(port_) + "</TCPPort></Basic_Setting></APPServer></KVTServers>");
  ASSERT_EQ(StartLink(), 0);
  EXPECT_EQ(link_->config().appSvrIp, u"127.0.0.1");
  EXPECT_EQ(link_->config().appSvrPort, port_);
  EXPECT_TRUE(LogHas("registered application " + std::string(kGuid) + " (OffMsgApp), priority 5"));
}

TEST_F(LinkTest, FailedRegistrationLogsTheServersErrorText) {
  WriteAppConfig();
  AppServerClient squatter;
  std::u16string error;
  ASSERT_EQ(squatter.RegisterApp(u"127.0.0.1", port_, Widen(kGuid), u"Other", 1, u"", &error, 512),
            0);
  EXPECT_EQ(StartLink(), -2);
  std::string expected = "注册 APP 失败--errorCode:2;errorMsg:application identity " +
                         std::string(kGuid) + " is already registered";
  EXPECT_EQ(CountLines(expected), 1u);
  EXPECT_EQ(pieces_.serviceStarts, 0);
  auto events = sink_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, 0u);
  EXPECT_EQ(events[0].eventId, 1000u);
  EXPECT_EQ(events[0].text, u"服务启动失败");
}

TEST_F(LinkTest, StartFailuresGiveTheirResults) {
  // No application file.
  EXPECT_EQ(StartLink(), -1);
  EXPECT_EQ(CountLines("初始化 OffMsgApp 信息失败"), 1u);

  // Nobody listens at the address.
  WriteAppConfig("IM_Msg", "<AppSvrInfo AppSvrIp=\"127.0.0.1\" AppSvrPort=\"1\"/>");
  EXPECT_EQ(StartLink(), -2);
  EXPECT_EQ(CountLines("注册 APP 失败--errorCode:101;errorMsg:cannot connect to the application "
                       "server"),
            1u);

  // The service does not start.
  WriteAppConfig();
  pieces_.serviceStartResult = 0;
  EXPECT_EQ(StartLink(), -4);
  EXPECT_EQ(CountLines("Pigeonbox 的初始化失败"), 1u);
  EXPECT_EQ(pieces_.transferStarts, 0);
  link_.reset();
  EXPECT_EQ(pieces_.serviceStops, 1);  // the failed service is still stopped

  // The transfer service does not start.
  pieces_.serviceStartResult = 1;
  pieces_.transferStartResult = 0;
  EXPECT_EQ(StartLink(), -4);
  link_.reset();

  // No service at all.
  pieces_.createService = false;
  EXPECT_EQ(StartLink(), -4);
  link_.reset();

  size_t failures = 0;
  for (const auto& event : sink_.events()) failures += event.eventId == 1000 ? 1 : 0;
  EXPECT_EQ(failures, 5u);
}

// A stop of the process requested while the link starts ends the start at its next step, as a
// stop and not as a failure: no failure line or event, the started service stopped by the caller;
// also when the stop ends a registration that waits for the server's answer.
TEST_F(LinkTest, AStopRequestedDuringTheStartEndsItAsAStop) {
  WriteAppConfig();
  std::stop_source stop;
  env_.stop = stop.get_token();
  pieces_.onServiceStart = [&] { stop.request_stop(); };
  EXPECT_EQ(StartLink(), OffMsgApp::kStopRequested);
  EXPECT_EQ(pieces_.transferStarts, 0);
  link_->Stop();
  EXPECT_EQ(pieces_.serviceStops, 1);
  link_.reset();
  EXPECT_EQ(CountLines("启动尚未完成时收到停止请求，不再启动"), 1u);
  EXPECT_EQ(CountLines("Pigeonbox 的初始化失败"), 0u);
  EXPECT_TRUE(sink_.events().empty());

  // An application server that completes the handshake and never answers.
  uint16_t mutePort = 0;
  std::string error;
  const int mute = appwire::ListenTcp("127.0.0.1", 0, &mutePort, &error);
  ASSERT_GE(mute, 0) << error;
  WriteAppConfig("IM_Msg", "<AppSvrInfo AppSvrIp=\"127.0.0.1\" AppSvrPort=\"" +
                               std::to_string(mutePort) + "\"/>");
  std::stop_source later;
  env_.stop = later.get_token();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    later.request_stop();
  });
  EXPECT_EQ(StartLink(), OffMsgApp::kStopRequested);
  stopper.join();
  close(mute);
  EXPECT_EQ(CountLines("启动尚未完成时收到停止请求，不再启动"), 2u);
  EXPECT_TRUE(sink_.events().empty());
}

TEST_F(LinkTest, UnopenableLogFails) {
  WriteAppConfig();
  dir_.Write("Logs", "a file where the log directory belongs");
  EXPECT_EQ(StartLink(), -6);
  EXPECT_EQ(pieces_.serviceStarts, 0);
}

TEST_F(LinkTest, ConfigurationCentreFailureIsLoggedAndStartGoesOn) {
  WriteAppConfig();
  pieces_.centreConnects = false;
  ASSERT_EQ(StartLink(), 0);
  EXPECT_EQ(CountLines("连接到配置中心失败!"), 1u);
  link_.reset();

  pieces_.createCentre = false;
  ASSERT_EQ(StartLink(), 0);
  EXPECT_EQ(CountLines("连接到配置中心失败!"), 2u);

  link_->OnConfigChanged(u"Basic_Setting", u"<Basic_Setting/>");
  link_->OnConfigChanged(u"", u"<x/>");
  link_->OnConfigChanged(u"Other", u"");
  link_->OnOtherConfigChanged();
  EXPECT_EQ(CountLines("配置项Basic_Setting被修改，将按新配置运行"), 1u);
  EXPECT_EQ(LogLines().back(), "配置项Basic_Setting被修改，将按新配置运行");
}

TEST_F(LinkTest, ExceptionInTheServiceIsCaughtAndLogged) {
  WriteAppConfig();
  ASSERT_EQ(StartLink(), 0);
  pieces_.throwOnMessage = true;
  link_->OnMsgArrive(0, u"s", u"T", u"a", u"b", u"b", u"d", 0, 0);
  EXPECT_EQ(CountLines("OnMsgArrive处理消息异常！"), 1u);
}

}  // namespace
}  // namespace pigeonbox
