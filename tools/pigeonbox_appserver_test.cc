// Runs the built pigeonbox-appserver on a temporary install root.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "suite/app_server_api.h"
#include "testutil/temp_dir.h"
#include "testutil/tools/tool_process.h"
#include "testutil/wait_until.h"

namespace pigeonbox {
namespace {

using testutil::FreePort;
using testutil::TempDir;
using testutil::WaitExit;

pid_t Spawn(std::vector<std::string> args) {
  return testutil::SpawnTool(PB_APPSERVER_PATH, std::move(args));
}

// Polls the version probe until the server answers (bounded; a failure bound, not a timing check).
bool Answers(uint16_t port) {
  std::u16string version;
  return testutil::WaitUntil(
      [&] { return AppServerClient::GetVersionW(u"127.0.0.1", port, &version, 512) == 0; });
}

TEST(PigeonboxAppServerTest, ListensOnTheConfiguredAddressLogsAndStopsOnSigterm) {
  TempDir root;
  uint16_t port = FreePort();
  root.Write("Config/KVTServer.xml",
             "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<KVTServers><APPServer><Basic_Setting>"
             "<IP>127.0.0.1</IP><TCPPort>" +
                 std::to_string(port) + "</TCPPort></Basic_Setting></APPServer></KVTServers>\n");
  pid_t pid = Spawn({"--root", root.path()});
  ASSERT_TRUE(Answers(port));
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);
  std::string log = root.Read("Logs/AppServer.log");
  EXPECT_NE(log.find("listening on 127.0.0.1:" + std::to_string(port)), std::string::npos);
  EXPECT_NE(log.find("stopped"), std::string::npos);
}

TEST(PigeonboxAppServerTest, ListenOptionWinsAndBadInvocationsFail) {
  TempDir root;
  uint16_t port = FreePort();
  pid_t pid = Spawn({"--root", root.path(), "--listen", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(Answers(port));
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);

  EXPECT_EQ(WaitExit(Spawn({"--root", root.path()})), 1);  // no APPServer section
  EXPECT_EQ(WaitExit(Spawn({"--listen", "no-port"})), 2);
  EXPECT_EQ(WaitExit(Spawn({"--bogus"})), 2);
}

}  // namespace
}  // namespace pigeonbox
