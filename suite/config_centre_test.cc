// The configuration-centre protocol, client library and stand-in centre.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "suite/appserver_socket.h"
#include "suite/appserver_wire.h"
#include "suite/config_centre_client.h"
#include "suite/config_centre_server.h"
#include "suite/config_centre_wire.h"
#include "testutil/temp_dir.h"
#include "testutil/wait_until.h"

namespace pigeonbox {
namespace {

using ccwire::Message;
using ccwire::Op;

TEST(ConfigCentreWireTest, EveryOperationSurvivesTheRoundTripAndDamageIsRefused) {
  Message notice;
  notice.op = Op::kConfigNotify;
  notice.items = {{u"Basic_Setting", u"<Basic_Setting Ver=\"7\"/>", 0xFFFFFFF0u}};
  notice.otherItems = {{u"APPServer", u"Basic_Setting", u"", u"值", 2}};
  Message get;
  get.op = Op::kGetConfig;
  get.wanted = {{u"Basic_Setting"}};
  get.wantedOther = {{u"APPServer", u"Basic_Setting"}};
  Message event;
  event.op = Op::kReportSysLog;
  event.level = 2;
  event.serviceType = u"Pigeonbox";
  event.category = u"network";
  event.eventId = 3001;
  event.text = u"无法绑定TCP端口:8015";

  for (const Message& m : {notice, get, event}) {
    std::string frame = ccwire::Encode(m);
    Message back;
    ASSERT_TRUE(ccwire::Decode(std::string_view(frame).substr(4), &back));
    EXPECT_EQ(ccwire::Encode(back), frame);
    // Every cut body is refused, and so is a trailing byte.
    for (size_t size = 5; size < frame.size(); ++size) {
      EXPECT_FALSE(ccwire::Decode(std::string_view(frame).substr(4, size - 4), &back)) << size;
    }
    EXPECT_FALSE(ccwire::Decode(frame.substr(4) + "x", &back));
  }
  Message back;
  EXPECT_EQ(notice.items, (ccwire::Decode(ccwire::Encode(notice).substr(4), &back), back.items));
  // A negative list count and an unknown operation.
  std::string negative =
      appwire::FrameWriter(static_cast<appwire::Op>(Op::kHello)).I32(-1).I32(0).Finish();
  EXPECT_FALSE(ccwire::Decode(std::string_view(negative).substr(4), &back));
  EXPECT_FALSE(ccwire::Decode("\x7f", &back));
  EXPECT_FALSE(ccwire::Decode("", &back));
}

// Records the library's events.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::u16string> guids;
  std::vector<int32_t> errors;
  std::vector<Message> configs;  // notices and deliveries, op kConfigNotify / kConfigData

  ConfigCentreEvents Events() {
    auto record = [this](auto&& change) {
      std::lock_guard lock(mutex);
      change();
      changed.notify_all();
    };
    auto config = [record, this](Op op) {
      return [record, op, this](const auto& items, const auto& other) {
        record([&] {
          configs.push_back(Message{op, {}, {}, 0, 0, 0, {}, {}, {}, {}, items, other});
        });
      };
    };
    return {[=, this](const std::u16string& guid) { record([&] { guids.push_back(guid); }); },
            [=, this](int32_t code) { record([&] { errors.push_back(code); }); },
            config(Op::kConfigNotify), config(Op::kConfigData)};
  }
  bool Wait(const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), done);
  }
};

class ConfigCentreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(centre_.Start("127.0.0.1", 0, &error)) << error;
    client_.Subscribe(recorder_.Events());
    ASSERT_NE(client_.SetSvrInfo(u"127.0.0.1", centre_.port()), 0);
    ASSERT_EQ(client_.Connect(), 0);
    ASSERT_EQ(client_.InitRecvThread(), 0);
    client_.InitSendThread();
  }

  testutil::TempDir dir_;
  ConfigCentre centre_{nullptr, dir_.path() + "events.jsonl"};
  Recorder recorder_;
  CConfigCenterClient client_;  // last: disconnected before the centre stops
};

TEST_F(ConfigCentreTest, RegistrationWithoutGuidGetsANewOneAndTheCentreKeepsIt) {
  EXPECT_EQ(client_.IsStart(), 1);
  client_.RegServer(u"Pigeonbox", u"");
  client_.RegServer(u"PIGEONBOX", u"{ignored}");
  ASSERT_TRUE(recorder_.Wait([&] { return recorder_.guids.size() == 2; }));
  EXPECT_EQ(recorder_.guids[0].size(), 38u);
  EXPECT_EQ(recorder_.guids[1], recorder_.guids[0]);
  EXPECT_EQ(centre_.ServiceGuid(u"pigeonbox"), recorder_.guids[0]);
}

TEST_F(ConfigCentreTest, GreetingAnnouncesHeldItemsAndGetConfigDeliversThem) {
  std::vector<ccapi::ConfigReqElem> wanted{{u"Basic_Setting"}, {u"Unknown"}};
  std::vector<ccapi::OthCfgReqElem> other{{u"appserver", u"Basic_Setting"}};
  client_.Hello(wanted, other);  // before registration: no service of that type
  ASSERT_TRUE(recorder_.Wait([&] { return recorder_.errors.size() == 1; }));
  EXPECT_EQ(recorder_.errors[0], -19995);

  centre_.SetItem({u"Pigeonbox", u"Basic_Setting", u"one", 1});
  centre_.SetItem({u"APPServer", u"Basic_Setting", u"app", 9});
  centre_.SetItem({u"Pigeonbox", u"Basic_Setting", u"two", 2});  // replaces version 1
  client_.RegServer(u"Pigeonbox", u"{G}");
  client_.Hello(wanted, other);
  client_.GetConfig(wanted, other);
  ASSERT_TRUE(recorder_.Wait([&] { return recorder_.configs.size() == 2; }));
  for (const Message& m : recorder_.configs) {
    ASSERT_EQ(m.items.size(), 1u);
    EXPECT_EQ(m.items[0], (ccapi::ConfigElem{u"Basic_Setting", u"two", 2}));
    ASSERT_EQ(m.otherItems.size(), 1u);
    EXPECT_EQ(m.otherItems[0], (ccapi::OthCfgElem{u"APPServer", u"Basic_Setting", u"", u"app", 9}));
  }
  EXPECT_EQ(recorder_.configs[0].op, Op::kConfigNotify);
  EXPECT_EQ(recorder_.configs[1].op, Op::kConfigData);
}

TEST_F(ConfigCentreTest, SystemLogEventsBecomeJsonLinesAndDisconnectSendsWhatIsQueued) {
  client_.ReportSysLog(0, u"Pigeonbox", u"network", 3001, u"quote \" back\\slash\nline");
  client_.ReportSysLog(2, u"Pigeonbox", u"service", 1601, u"服务停止");
  client_.DisConnect();
  EXPECT_EQ(client_.IsStart(), 0);
  EXPECT_NE(client_.ReportSysLog(2, u"Pigeonbox", u"service", 1, u"late"), 0);
  std::string expected =
      "{\"level\":0,\"serviceType\":\"Pigeonbox\",\"category\":\"network\",\"eventId\":3001,"
      "\"text\":\"quote \\\" back\\\\slash\\u000aline\"}\n"
      "{\"level\":2,\"serviceType\":\"Pigeonbox\",\"category\":\"service\",\"eventId\":1601,"
      "\"text\":\"服务停止\"}\n";
  testutil::WaitUntil([&] { return dir_.Read("events.jsonl") == expected; });
  EXPECT_EQ(dir_.Read("events.jsonl"), expected);
  EXPECT_TRUE(recorder_.errors.empty());  // a deliberate close is no loss
}

TEST_F(ConfigCentreTest, LossIsReportedAndADamagedFrameClosesOnlyItsConnection) {
  // A peer sending garbage is dropped; the library's connection is not affected.
  int raw = appwire::ConnectTcp("127.0.0.1", centre_.port());
  ASSERT_GE(raw, 0);
  appwire::SendAll(raw, appwire::FrameWriter(static_cast<appwire::Op>(Op::kRegAnswer)).Finish());
  appwire::FrameBuffer buffer;
  std::string body;
  EXPECT_EQ(appwire::ReadFrame(raw, &buffer, &body, std::chrono::seconds(10)),
            appwire::ReadResult::kClosed);
  close(raw);
  client_.RegServer(u"Pigeonbox", u"{G}");
  ASSERT_TRUE(recorder_.Wait([&] { return recorder_.guids.size() == 1; }));

  centre_.Stop();
  ASSERT_TRUE(recorder_.Wait([&] { return !recorder_.errors.empty(); }));
  EXPECT_EQ(recorder_.errors.back(), CConfigCenterClient::kLost);
  EXPECT_EQ(client_.IsStart(), 0);
  EXPECT_EQ(client_.Connect(), CConfigCenterClient::kConnectFailed);
}

// Out of descriptors after the listening socket: without its wake-up descriptor the centre could
// never be stopped, so the start fails instead (run in a child, whose descriptor limit is lowered).
TEST(ConfigCentreStartTest, NoDescriptorLeftForTheWakeUpFailsTheStart) {
  GTEST_FLAG_SET(death_test_style, "fast");
  auto startWithOneDescriptorLeft = [] {
    rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
    int last = -1;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) last = fd;
    if (last < 0) _exit(4);
    close(last);
    ConfigCentre centre(nullptr, "");
    std::string error;
    bool started = centre.Start("127.0.0.1", 0, &error);
    _exit(started ? 1 : 0);
  };
  EXPECT_EXIT(startWithOneDescriptorLeft(), ::testing::ExitedWithCode(0), "");
}

// No memory left for the thread of a new connection: that connection is closed and the centre
// goes on serving the next one (run in a child, whose address-space limit is lowered; the
// connections that still get a thread, from stacks the process kept, stay open until one does not).
TEST(ConfigCentreStartTest, ConnectionWithoutAThreadIsClosedAndTheCentreGoesOn) {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
  // ThreadSanitizer maps shadow memory for every thread and aborts when it cannot.
  GTEST_SKIP() << "an address-space limit cannot be used under ThreadSanitizer";
#endif
#endif
  GTEST_FLAG_SET(death_test_style, "fast");
  auto registers = [](int fd) {
    Message reg;
    reg.op = Op::kRegServer;
    reg.serviceType = u"Pigeonbox";
    reg.guid = u"{G}";
    appwire::FrameBuffer buffer;
    std::string body;
    Message answer;
    return fd >= 0 && appwire::SendAll(fd, ccwire::Encode(reg)) &&
           appwire::ReadFrame(fd, &buffer, &body, std::chrono::seconds(10)) ==
               appwire::ReadResult::kFrame &&
           ccwire::Decode(body, &answer) && answer.op == Op::kRegAnswer && answer.guid == u"{G}";
  };
  auto refuseOneThenServe = [&] {
    alarm(60);  // a bound on the whole run
    ConfigCentre centre(nullptr, "");
    std::string error;
    if (!centre.Start("127.0.0.1", 0, &error)) _exit(3);
    std::vector<int> open;
    for (int i = 0; i < 8; ++i) open.push_back(appwire::ConnectTcp("127.0.0.1", centre.port()));
    rlimit original{};
    getrlimit(RLIMIT_AS, &original);
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    if (pages <= 0) _exit(4);
    rlimit low = original;
    low.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (1 << 20);
    if (setrlimit(RLIMIT_AS, &low) != 0) _exit(5);
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i) {
      int fd = appwire::ConnectTcp("127.0.0.1", centre.port());
      if (fd < 0) _exit(6);
      refused = !registers(fd);
      open.push_back(fd);
    }
    setrlimit(RLIMIT_AS, &original);
    if (!refused) _exit(7);
    _exit(registers(appwire::ConnectTcp("127.0.0.1", centre.port())) ? 0 : 8);
  };
  EXPECT_EXIT(refuseOneThenServe(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace pigeonbox
