// The system-log events of a server start and stop reach the centre, in order, through the
// client that the link creates.
#include <gtest/gtest.h>

#include "confcentre/config_centre_wrapper.h"
#include "testutil/confcentre/centre_fixture.h"
#include "testutil/link/link_fixture.h"

namespace pigeonbox {
namespace {

class CentreFactory : public testutil::TestFactory {
 public:
  CentreFactory(testutil::TestPieces& pieces, std::string root)
      : TestFactory(pieces), root_(std::move(root)) {}
  std::unique_ptr<ConfigCentreClient> CreateConfigCentre(ConfigChangeListener& listener) override {
    return std::make_unique<ConfigCentreWrapper>(root_, ReadServerSettings(root_).centre, listener);
  }

 private:
  std::string root_;
};

class ConfigCentreLinkTest : public testutil::LinkTest, public testutil::CentreFixture {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    env_.factory = &centreFactory_;
  }
  // The client reads the centre's address from the centre fixture's install root.
  CentreFactory centreFactory_{pieces_, CentreFixture::dir_.path()};
};

TEST_F(ConfigCentreLinkTest, StartAndStopEventsArriveAtTheCentreInOrder) {
  WriteAppConfig();
  WriteServerConfig("");
  ASSERT_EQ(StartLink(), OffMsgApp::kStarted);
  link_->StopAfterServerLoss();
  link_.reset();  // the client sends what it queued before it closes
  ASSERT_TRUE(testutil::WaitUntil([&] { return Events().size() >= 2; }));
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0],
            "{\"level\":2,\"serviceType\":\"Pigeonbox\",\"category\":\"service\","
            "\"eventId\":1600,\"text\":\"服务启动成功\"}");
  EXPECT_EQ(events[1],
            "{\"level\":2,\"serviceType\":\"Pigeonbox\",\"category\":\"service\","
            "\"eventId\":1601,\"text\":\"服务停止\"}");
}

}  // namespace
}  // namespace pigeonbox
