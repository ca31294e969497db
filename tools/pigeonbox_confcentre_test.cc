// Runs the built pigeonbox-confcentre on a temporary install root.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "suite/config_centre_client.h"
#include "testutil/temp_dir.h"
#include "testutil/tools/tool_process.h"
#include "testutil/wait_until.h"

namespace pigeonbox {
namespace {

using testutil::FreePort;
using testutil::TempDir;
using testutil::WaitExit;
using testutil::WaitUntil;

pid_t Spawn(std::vector<std::string> args) {
  return testutil::SpawnTool(PB_CONFCENTRE_PATH, std::move(args));
}

std::string ServerConfig(uint16_t port, int version) {
  return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<KVTServers><ConfigCenter><Basic_Setting>"
         "<IP>127.0.0.1</IP><TCPPort>" +
         std::to_string(port) +
         "</TCPPort></Basic_Setting></ConfigCenter><Pigeonbox GUID=\"{G-1}\"><Basic_Setting "
         "Ver=\"" +
         std::to_string(version) + "\"/></Pigeonbox></KVTServers>\n";
}

TEST(PigeonboxConfCentreTest, ServesTheFileItemsReloadsOnSighupAndRecordsEvents) {
  TempDir root;
  uint16_t port = FreePort();
  root.Write("Config/KVTServer.xml", ServerConfig(port, 1));
  pid_t pid = Spawn({"--root", root.path(), "--events", root.path() + "ev.jsonl"});

  std::mutex mutex;
  std::u16string guid;
  uint32_t version = 0;
  CConfigCenterClient client;
  client.Subscribe({[&](const std::u16string& g) {
                      std::lock_guard l(mutex);
                      guid = g;
                    },
                    nullptr,
                    [&](const auto& items, const auto&) {
                      std::lock_guard l(mutex);
                      if (!items.empty()) version = items[0].version;
                    },
                    nullptr});
  client.SetSvrInfo(u"127.0.0.1", port);
  ASSERT_TRUE(WaitUntil([&] { return client.Connect() == 0; }));
  ASSERT_EQ(client.InitRecvThread(), 0);
  client.InitSendThread();
  client.RegServer(u"Pigeonbox", u"");
  std::vector<ccapi::ConfigReqElem> wanted{{u"Basic_Setting"}};
  std::vector<ccapi::OthCfgReqElem> none;
  auto versionIs = [&](uint32_t expected) {
    client.Hello(wanted, none);
    std::lock_guard l(mutex);
    return version == expected;
  };
  ASSERT_TRUE(WaitUntil([&] { return versionIs(1); }));
  {
    std::lock_guard l(mutex);
    EXPECT_EQ(guid, u"{G-1}");
  }

  root.Write("Config/KVTServer.xml", ServerConfig(port, 2));
  kill(pid, SIGHUP);
  EXPECT_TRUE(WaitUntil([&] { return versionIs(2); }));

  client.ReportSysLog(2, u"Pigeonbox", u"service", 1600, u"up");
  client.DisConnect();
  EXPECT_TRUE(WaitUntil([&] {
    return root.Read("ev.jsonl") ==
           "{\"level\":2,\"serviceType\":\"Pigeonbox\",\"category\":\"service\",\"eventId\":1600,"
           "\"text\":\"up\"}\n";
  }));
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_NE(root.Read("Logs/ConfigCentre.log").find("items reloaded"), std::string::npos);
}

TEST(PigeonboxConfCentreTest, BadInvocationsFail) {
  TempDir root;
  EXPECT_EQ(WaitExit(Spawn({"--root", root.path()})), 1);  // no ConfigCenter section
  EXPECT_EQ(WaitExit(Spawn({"--listen", "no-port"})), 2);
  EXPECT_EQ(WaitExit(Spawn({"--events"})), 2);
}

}  // namespace
}  // namespace pigeonbox
