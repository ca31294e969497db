// Test helpers for the application-server link: a test offline-message service that records the
// packets it receives and echoes requests through its owner, a factory for it, a recording
// system-log sink, a platform that neither sleeps nor ends the process, and a fixture with an
// install root and an in-process stand-in application server.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "config/settings.h"
#include "link/offmsg_app.h"
#include "suite/appserver.h"
#include "testutil/log_lines.h"
#include "testutil/suite/appserver_fixture.h"
#include "testutil/temp_dir.h"

namespace pigeonbox::testutil {

struct RecordedPacket {
  std::vector<uint8_t> bytes;  // data[0 .. end)
  std::u16string receivers;
};

// Shared state of the test pieces, kept by the test so it outlives the link.
struct TestPieces {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<RecordedPacket> packets;
  int serviceStarts = 0, serviceStops = 0, transferStarts = 0, transferStops = 0;
  int serviceStartResult = 1;
  int transferStartResult = 1;
  bool createService = true;
  bool createCentre = true;
  bool centreConnects = true;
  bool throwOnMessage = false;
  bool echoRequests = true;             // answer a request with its data text through SendTextReply
  std::function<void()> onCentreFlush;  // called by the centre's Flush
  std::function<void()> onServiceStart;    // called by the service's Start, before it counts
  std::function<void()> onCreateTransfer;  // called before the transfer service is created

  bool WaitForPackets(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return packets.size() >= count; });
  }
};

// Reads the routing texts back from a packet the way the offline-message service does.
inline bool ReadRouting(PacketBuffer& packet, std::u16string texts[4]) {
  packet.Rewind();
  for (int i = 0; i < 4; ++i) {
    if (!packet.GetText(&texts[i])) return false;
  }
  return true;
}

class TestMessageService : public MessageService {
 public:
  TestMessageService(TestPieces& pieces, LinkOwner& owner) : pieces_(pieces), owner_(owner) {}
  int Start() override {
    if (pieces_.onServiceStart) pieces_.onServiceStart();
    std::lock_guard lock(pieces_.mutex);
    ++pieces_.serviceStarts;
    return pieces_.serviceStartResult;
  }
  void Stop() override {
    std::lock_guard lock(pieces_.mutex);
    ++pieces_.serviceStops;
  }
  int HandleMessage(PacketBuffer& packet, std::u16string_view receivers) override {
    if (pieces_.throwOnMessage) throw std::runtime_error("test failure");
    {
      std::lock_guard lock(pieces_.mutex);
      pieces_.packets.push_back({std::vector<uint8_t>(packet.Data(), packet.Data() + packet.Size()),
                                 std::u16string(receivers)});
      pieces_.changed.notify_all();
    }
    std::u16string route[4], data;
    uint32_t value = 0;
    if (!ReadRouting(packet, route) || !packet.GetU32(&value) || !packet.GetText(&data)) return 0;
    if (owner_.IsRequestType(route[1]) || !pieces_.echoRequests) return 1;
    // Replies travel back: SrcIdentifier, Type, Receiver, Sender.
    owner_.SendTextReply(route[0], route[1], route[3], route[2], data);
    return 1;
  }

 private:
  TestPieces& pieces_;
  LinkOwner& owner_;
};

class TestTransferService : public TransferService {
 public:
  explicit TestTransferService(TestPieces& pieces) : pieces_(pieces) {}
  int Start() override {
    std::lock_guard lock(pieces_.mutex);
    ++pieces_.transferStarts;
    return pieces_.transferStartResult;
  }
  void Stop() override {
    std::lock_guard lock(pieces_.mutex);
    ++pieces_.transferStops;
  }

 private:
  TestPieces& pieces_;
};

class TestCentre : public ConfigCentreClient {
 public:
  TestCentre(bool connects, ConfigChangeListener& listener, std::function<void()> onFlush)
      : connects_(connects), listener_(listener), onFlush_(std::move(onFlush)) {}
  bool Start() override { return connects_; }
  SysLogSink* sys_log_sink() override { return nullptr; }
  bool Flush(std::chrono::milliseconds) override {
    if (onFlush_) onFlush_();
    return true;
  }
  ConfigChangeListener& listener() { return listener_; }

 private:
  bool connects_;
  ConfigChangeListener& listener_;
  std::function<void()> onFlush_;
};

class TestFactory : public LinkServiceFactory {
 public:
  explicit TestFactory(TestPieces& pieces) : pieces_(pieces) {}
  std::unique_ptr<MessageService> CreateMessageService(LinkOwner& owner) override {
    if (!pieces_.createService) return nullptr;
    return std::make_unique<TestMessageService>(pieces_, owner);
  }
  std::unique_ptr<ConfigCentreClient> CreateConfigCentre(ConfigChangeListener& listener) override {
    if (!pieces_.createCentre) return nullptr;
    return std::make_unique<TestCentre>(pieces_.centreConnects, listener, pieces_.onCentreFlush);
  }
  std::unique_ptr<TransferService> CreateTransferService() override {
    if (pieces_.onCreateTransfer) pieces_.onCreateTransfer();
    return std::make_unique<TestTransferService>(pieces_);
  }

 private:
  TestPieces& pieces_;
};

struct SysLogEvent {
  uint32_t level;
  std::u16string category;
  uint32_t eventId;
  std::u16string text;
};

class RecordingSink : public SysLogSink {
 public:
  void ReportSysLog(uint32_t level, std::u16string_view category, uint32_t eventId,
                    std::u16string_view text) override {
    std::lock_guard lock(mutex_);
    events_.push_back({level, std::u16string(category), eventId, std::u16string(text)});
  }
  std::vector<SysLogEvent> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<SysLogEvent> events_;
};

// Records the watchdog's sleeps and its exit instead of doing them. The OnSleep action runs after
// each recorded sleep (with the number of sleeps so far), so a test can bring the server back.
//
// The watchdog learns of the server's loss through a socket, which ThreadSanitizer does not count
// as an ordering; the platform's lock is what orders a test's (and the start's) work before the
// watchdog's sleeps.
class FakePlatform : public LinkPlatform {
 public:
  void Sleep(std::chrono::milliseconds duration) override {
    size_t count;
    std::function<void(size_t)> onSleep;
    {
      std::lock_guard lock(mutex_);
      sleeps_.push_back(duration.count());
      count = sleeps_.size();
      onSleep = onSleep_;
    }
    if (onSleep) onSleep(count);
  }
  void OnSleep(std::function<void(size_t sleepsSoFar)> action) {
    std::lock_guard lock(mutex_);
    onSleep_ = std::move(action);
  }
  void ExitProcess(int code) override {
    std::lock_guard lock(mutex_);
    exitCodes_.push_back(code);
    exited_.notify_all();
  }
  // Waits (at most 30 s, a failure bound only) for the first ExitProcess.
  bool WaitForExit() {
    std::unique_lock lock(mutex_);
    return exited_.wait_for(lock, std::chrono::seconds(30), [&] { return !exitCodes_.empty(); });
  }
  std::vector<int64_t> sleeps() {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }
  std::vector<int> exitCodes() {
    std::lock_guard lock(mutex_);
    return exitCodes_;
  }

 private:
  std::function<void(size_t)> onSleep_;
  std::mutex mutex_;
  std::condition_variable exited_;
  std::vector<int64_t> sleeps_;
  std::vector<int> exitCodes_;
};

// The stand-in server again on `port`; the old listener may take a moment to close.
inline std::unique_ptr<AppServer> Revive(uint16_t port) {
  auto server = std::make_unique<AppServer>(nullptr);
  std::string error;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (server->Start("127.0.0.1", port, &error)) return server;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << error;
  return nullptr;
}

class LinkTest : public AppServerTest {
 protected:
  static constexpr char kGuid[] = "{5A7C0E11-2B3D-4E5F-8091-A2B3C4D5E6F7}";

  void SetUp() override {
    AppServerTest::SetUp();
    sysLog_.SetSink(&sink_);
    env_.installRoot = dir_.path();
    env_.factory = &factory_;
    env_.sysLog = &sysLog_;
    env_.platform = &platform_;
    env_.deliveryLanes = 2;
  }
  void TearDown() override { sysLog_.SetSink(nullptr); }

  // The application file with the stand-in server's address (or `svrInfo` in its place).
  void WriteAppConfig(const std::string& types = "IM_Msg|Group_Msg|",
                      const std::string& svrInfo = "") {
    std::string address = svrInfo.empty() ? "<AppSvrInfo AppSvrIp=\"127.0.0.1\" AppSvrPort=\"" +
                                                std::to_string(port_) + "\"/>"
                                          : svrInfo;
    dir_.Write("AppConfig/AppOffMsg.xml",
               "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<App>\r\n"
               "<AppRegInfo><Request_Type>" +
                   types +
                   "</Request_Type></AppRegInfo>\r\n"
                   "<AppInfo AppGuid=\"" +
                   std::string(kGuid) +
                   "\" AppName=\"OffMsgApp\" MsgType=\"OffMsg\" Priority=\"5\"/>\r\n" + address +
                   "\r\n<Setting StoreMaxCount=\"99\"/>\r\n</App>\r\n");
  }

  int StartLink() {
    env_.app = ReadServerSettings(dir_.path()).app;
    const int result = OffMsgApp::StartLink(env_, &link_);
    platform_.sleeps();  // orders the start before the watchdog's sleeps (see FakePlatform)
    return result;
  }

  // The lines of the link's log without their time and thread prefix, UTF-8.
  std::vector<std::string> LogLines() const { return LogLinesOf(dir_, "Logs/Pigeonbox.log"); }
  size_t CountLines(const std::string& text) const {
    size_t count = 0;
    for (const auto& line : LogLines()) count += line == text ? 1 : 0;
    return count;
  }

  TempDir dir_;
  TestPieces pieces_;
  TestFactory factory_{pieces_};
  RecordingSink sink_;
  SysLog sysLog_;
  FakePlatform platform_;
  LinkEnvironment env_;
  std::unique_ptr<OffMsgApp> link_;  // last: stopped before the pieces above go
};

}  // namespace pigeonbox::testutil
