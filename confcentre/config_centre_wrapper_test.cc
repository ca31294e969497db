// The service's configuration-centre client against the stand-in centre.
#include "confcentre/config_centre_wrapper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "testutil/confcentre/centre_fixture.h"

namespace pigeonbox {
namespace {

using ccwire::Op;
using namespace std::chrono_literals;

constexpr char kGuidLower[] = "{5a7c0e11-2b3d-4e5f-8091-a2b3c4d5e6f7}";
constexpr char16_t kGuidUpper[] = u"{5A7C0E11-2B3D-4E5F-8091-A2B3C4D5E6F7}";
constexpr char kMismatch[] = "OnRegServer发生错误:配置中心返回的Guid与已经分配的不一致";
constexpr char kDropping[] = "与配置中心的连接将断开";

class ConfigCentreWrapperTest : public ::testing::Test, public testutil::CentreFixture {
 protected:
  std::unique_ptr<ConfigCentreWrapper> MakeClient(std::chrono::milliseconds reconnect = 1h) {
    return std::make_unique<ConfigCentreWrapper>(
        dir_.path(), ReadServerSettings(dir_.path()).centre, listener_, nullptr,
        ConfigCentreWrapper::Timing{5ms, reconnect});
  }
  // The install root names `fileGuid` and, unless `heldVersion` is negative, a held
  // Basic_Setting of that version; the centre answers registrations with kGuidUpper.
  std::unique_ptr<ConfigCentreWrapper> Prepare(const std::string& fileGuid, int heldVersion,
                                               std::chrono::milliseconds reconnect = 1h) {
    WriteServerConfig(fileGuid, heldVersion);
    centre_.SetServiceGuid(u"Pigeonbox", kGuidUpper);
    return MakeClient(reconnect);
  }
  // Lets `count` more GetConfig rounds pass (each follows a greeting the centre answered).
  bool MoreRounds(size_t count) {
    size_t target = centre_.Received(Op::kGetConfig) + count;
    return testutil::WaitUntil([&] { return centre_.Received(Op::kGetConfig) >= target; });
  }
  size_t LogCount(const std::string& line) const {
    auto lines = ServiceLog();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }

  testutil::RecordingListener listener_;
};

TEST_F(ConfigCentreWrapperTest, GuidAssignedAtFirstStartIsKeptInMemoryOnly) {
  WriteServerConfig("");
  std::string fileBefore = dir_.Read("Config/KVTServer.xml");
  auto client = MakeClient();
  ASSERT_TRUE(client->Start());
  ASSERT_TRUE(testutil::WaitUntil([&] { return !client->guid().empty(); }));
  EXPECT_EQ(client->guid(), centre_.ServiceGuid(u"Pigeonbox"));
  EXPECT_EQ(client->guid().size(), 38u);
  EXPECT_EQ(dir_.Read("Config/KVTServer.xml"), fileBefore);
  EXPECT_EQ(LogCount("服务尚未向ConfigCenter注册，未分配Guid"), 1u);
}

TEST_F(ConfigCentreWrapperTest, GuidDifferingOnlyInLetterCaseIsAcceptedSilently) {
  auto client = Prepare(kGuidLower, 1);
  SetCentreItem(u"<Basic_Setting Ver=\"2\"/>", 2);
  ASSERT_TRUE(client->Start());
  // The notice of version 2 comes after the registration answer on the same connection.
  ASSERT_TRUE(testutil::WaitUntil([&] { return listener_.changes().size() == 1; }));
  EXPECT_TRUE(client->running());
  EXPECT_EQ(ToUtf8(client->guid()), kGuidLower);
  EXPECT_EQ(LogCount(std::string("服务已分配Guid:") + kGuidLower), 1u);
  EXPECT_EQ(LogCount(kMismatch), 0u);
}

TEST_F(ConfigCentreWrapperTest, DifferentGuidEndsTheThreadsWithTwoLogLines) {
  WriteServerConfig(kGuidLower);
  centre_.SetServiceGuid(u"Pigeonbox", u"{00000000-0000-4000-8000-000000000001}");
  auto client = MakeClient(5ms);
  ASSERT_TRUE(client->Start());
  ASSERT_TRUE(testutil::WaitUntil([&] {
    return !client->running() && client->live_handler_threads() == 0 && LogCount(kDropping) == 1;
  }));
  EXPECT_EQ(ToUtf8(client->guid()), kGuidLower);
  auto lines = ServiceLog();
  auto at = std::find(lines.begin(), lines.end(), kMismatch);
  ASSERT_NE(at, lines.end());
  ASSERT_NE(at + 1, lines.end());
  EXPECT_EQ(at[1], kDropping);
  // The library's connection stays open; only the client's own threads ended.
  EXPECT_TRUE(client->connected());
}

TEST_F(ConfigCentreWrapperTest, HeldItemAtTheSameVersionAsksForNothingButGetConfigIsCalled) {
  auto client = Prepare(kGuidLower, 3);
  SetCentreItem(u"<Basic_Setting Ver=\"3\"/>", 3);
  ASSERT_TRUE(client->Start());
  ASSERT_TRUE(MoreRounds(3));
  EXPECT_TRUE(CentreLogHas("GetConfig from Pigeonbox: 0 items, 0 other items"));
  EXPECT_FALSE(CentreLogHas("GetConfig from Pigeonbox: 1 items"));
  EXPECT_TRUE(listener_.changes().empty());
}

TEST_F(ConfigCentreWrapperTest, NewItemIsToldOnceAndAgainOnlyForAHigherVersion) {
  auto client = Prepare(kGuidLower, -1);
  SetCentreItem(u"first", 4);
  ASSERT_TRUE(client->Start());
  ASSERT_TRUE(testutil::WaitUntil([&] { return listener_.changes().size() == 1; }));
  ASSERT_TRUE(MoreRounds(3));
  ASSERT_EQ(listener_.changes().size(), 1u);
  EXPECT_EQ(listener_.changes()[0].first, u"Basic_Setting");
  EXPECT_EQ(listener_.changes()[0].second, u"first");

  SetCentreItem(u"lower", 3);
  ASSERT_TRUE(MoreRounds(3));
  EXPECT_EQ(listener_.changes().size(), 1u);

  SetCentreItem(u"second", 5);
  ASSERT_TRUE(testutil::WaitUntil([&] { return listener_.changes().size() == 2; }));
  EXPECT_EQ(listener_.changes()[1].second, u"second");
  ASSERT_TRUE(MoreRounds(3));
  EXPECT_EQ(listener_.changes().size(), 2u);
}

TEST_F(ConfigCentreWrapperTest, CentreStoppedAndRestartedIsReconnectedByOneHandlerThread) {
  auto client = Prepare(kGuidLower, -1, 5ms);
  ASSERT_TRUE(client->Start());
  ASSERT_TRUE(testutil::WaitUntil([&] { return centre_.Received(Op::kRegServer) == 1; }));

  uint16_t port = centre_.port();
  centre_.Stop();
  ASSERT_TRUE(testutil::WaitUntil([&] { return !client->connected(); }));
  std::string error;
  ASSERT_TRUE(centre_.Start("127.0.0.1", port, &error)) << error;
  ASSERT_TRUE(testutil::WaitUntil([&] { return centre_.Received(Op::kRegServer) >= 2; }));
  size_t hellos = centre_.Received(Op::kHello);
  ASSERT_TRUE(testutil::WaitUntil([&] { return centre_.Received(Op::kHello) > hellos + 3; }));

  EXPECT_EQ(client->live_handler_threads(), 1);
  EXPECT_TRUE(client->running());
  EXPECT_GE(LogCount("服务与配置中心连接断开，将重连"), 1u);
  EXPECT_GE(LogCount("Pigeonbox未连接到ConfigCenter，现在重连！"), 1u);
}

TEST_F(ConfigCentreWrapperTest, CentreUnreachableAtStartIsConnectedByTheReconnectThread) {
  auto client = Prepare(kGuidLower, -1, 5ms);
  uint16_t port = centre_.port();
  centre_.Stop();
  EXPECT_FALSE(client->Start());
  EXPECT_TRUE(client->running());
  std::string error;
  ASSERT_TRUE(centre_.Start("127.0.0.1", port, &error)) << error;
  ASSERT_TRUE(testutil::WaitUntil([&] { return centre_.Received(Op::kRegServer) == 1; }));
  EXPECT_GE(LogCount("连接配置中心失败"), 1u);
  EXPECT_EQ(client->live_handler_threads(), 1);
}

TEST_F(ConfigCentreWrapperTest, UnusableAddressFailsTheStartAndStartsNothing) {
  dir_.Write("Config/KVTServer.xml",
             "<KVTServers><ConfigCenter><Basic_Setting><IP>127.0.0.1</IP><UDPPort>8016</UDPPort>"
             "</Basic_Setting></ConfigCenter></KVTServers>");
  auto client = MakeClient(5ms);
  EXPECT_FALSE(client->Start());
  EXPECT_FALSE(client->running());
  EXPECT_EQ(client->live_handler_threads(), 0);
}

TEST(ConfigCentreErrorTextTest, KnownCodesAreCopiedAndCutOthersLeaveTheBufferUntouched) {
  char16_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  ConfigCentreWrapper::ErrorText(0, buffer, 8);
  EXPECT_EQ(std::u16string(buffer), u"操作成功");
  EXPECT_EQ(buffer[7], u'\0');

  std::fill(std::begin(buffer), std::end(buffer), u'#');
  ConfigCentreWrapper::ErrorText(-19991, buffer, 4);
  EXPECT_EQ(std::u16string_view(buffer, 4), std::u16string_view(u"服务与\0", 4));
  EXPECT_EQ(buffer[4], u'#');  // nothing beyond outLen

  for (int32_t code : {-19988, 1, 5, 19991, -20000}) {
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    ConfigCentreWrapper::ErrorText(code, buffer, 8);
    EXPECT_TRUE(std::all_of(std::begin(buffer), std::end(buffer), [](char16_t c) {
      return c == u'#';
    })) << code;
  }
  ConfigCentreWrapper::ErrorText(0, buffer, 0);  // no room: untouched, nothing written before it
  EXPECT_EQ(buffer[0], u'#');
}

}  // namespace
}  // namespace pigeonbox
