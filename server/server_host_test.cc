// The command line, the systemd unit and the status reports of the service host.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "server/service_notify.h"
#include "server/switches.h"
#include "server/systemd_unit.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

TEST(SwitchTest, OneSwitchInEitherFormAndAnyCaseEverythingElseRefused) {
  struct Case {
    std::vector<std::string> words;
    std::optional<int> exit;  // nullopt: goes on with `registration`
    Switch registration;
  } cases[] = {
      {{}, std::nullopt, Switch::kNone},
      {{"/service"}, std::nullopt, Switch::kService},
      {{"-Service"}, std::nullopt, Switch::kService},
      {{"-REGSERVER"}, std::nullopt, Switch::kRegServer},
      {{"/UnRegServer"}, std::nullopt, Switch::kUnregServer},
      {{"--help"}, 0, Switch::kNone},
      {{"--version"}, 0, Switch::kNone},
      {{"-Service", "-x"}, 2, Switch::kNone},
      {{"-x", "-UnregServer"}, 2, Switch::kNone},
      {{"-RegServer", "-Service"}, 2, Switch::kNone},
      {{"/opt/x-y/Service"}, 2, Switch::kNone},
      {{"Service"}, 2, Switch::kNone},
      {{"--Service"}, 2, Switch::kNone},
      {{"-Service", "stray"}, 2, Switch::kNone},
      {{"--check-config"}, std::nullopt, Switch::kNone},
      {{"/Service", "--check-config"}, 2, Switch::kNone},
  };
  for (const Case& c : cases) {
    Switch registration = Switch::kNone;
    bool check = false;
    const std::optional<int> exit = ReadCommandLine(c.words, &registration, &check);
    EXPECT_EQ(exit, c.exit) << testing::PrintToString(c.words);
    if (!exit) {
      EXPECT_EQ(registration, c.registration) << testing::PrintToString(c.words);
      EXPECT_EQ(check, c.words == std::vector<std::string>{"--check-config"});
    }
  }
}

class UnitTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("PIGEONBOX_UNIT_DIR", dir_.path().c_str(), 1); }
  void TearDown() override { unsetenv("PIGEONBOX_UNIT_DIR"); }
  testutil::TempDir dir_;
};

TEST_F(UnitTest, InstallWritesANotifyUnitOnceAndRemoveDeletesIt) {
  std::string error;
  testutil::TempDir root;
  const UnitSettings settings{
      .exePath = "/opt/pigeon box/bin/pigeonbox", .installRoot = root.path(), .user = {}};
  EXPECT_EQ(UnitPath(), dir_.path() + "pigeonbox.service");
  EXPECT_FALSE(UnitInstalled());
  EXPECT_EQ(RemoveUnit(&error), 0);  // nothing to remove
  ASSERT_EQ(InstallUnit(settings, &error), 0) << error;
  const std::string text = dir_.Read("pigeonbox.service");
  EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(text.find("ExecStart=\"/opt/pigeon box/bin/pigeonbox\"\n"), std::string::npos);
  // Exit code 0 after the application server's loss asks for a restart too.
  EXPECT_NE(text.find("\nRestart=always\n"), std::string::npos);
  EXPECT_NE(text.find("\nRestartSec="), std::string::npos);
  EXPECT_NE(text.find("\nLimitNOFILE=65536\n"), std::string::npos);
  EXPECT_EQ(text.find("User="), std::string::npos);  // root, as the install switch always had
  // Read-only but for the paths the server writes, which exist before systemd sets them up.
  EXPECT_NE(text.find("\nProtectSystem=strict\nReadWritePaths=\"" + root.path() + "OffMsg\" \"" +
                      root.path() + "Logs\" \"" + root.path() + "kvtserver.kss\"\n"),
            std::string::npos)
      << text;
  struct stat st;
  ASSERT_EQ(stat((root.path() + "OffMsg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(stat((root.path() + "kvtserver.kss").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(
      InstallUnit({.exePath = "/elsewhere/bin/pigeonbox", .installRoot = root.path(), .user = {}},
                  &error),
      0);  // already there: unchanged
  EXPECT_EQ(dir_.Read("pigeonbox.service"), text);
  EXPECT_EQ(RemoveUnit(&error), 0);
  EXPECT_FALSE(UnitInstalled());

  const std::string packaged = UnitText(
      {.exePath = "/a/100%$x/pigeonbox", .installRoot = "/a/100%$x/", .user = "pigeonbox"});
  EXPECT_NE(packaged.find("ExecStart=\"/a/100%%$$x/pigeonbox\"\nUser=pigeonbox\nGroup=pigeonbox\n"),
            std::string::npos);
  EXPECT_NE(packaged.find("ReadWritePaths=\"/a/100%%$x/OffMsg\""), std::string::npos);
  setenv("PIGEONBOX_UNIT_DIR", (dir_.path() + "missing/").c_str(), 1);
  EXPECT_EQ(InstallUnit(settings, &error), 1);
  EXPECT_NE(error.find("Couldn't create service"), std::string::npos);
}

TEST(NotifyTest, StatusDatagramsReachTheSocketOfNotifySocket) {
  testutil::TempDir dir;
  const std::string path = dir.path() + "notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(ServiceManagerListens());
  EXPECT_FALSE(NotifyServiceManager("READY=1"));
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  EXPECT_TRUE(ServiceManagerListens());
  EXPECT_TRUE(NotifyServiceManager("READY=1\nSTATUS=running"));
  char buffer[64] = {};
  EXPECT_EQ(recv(fd, buffer, sizeof buffer - 1, 0), 22);
  EXPECT_STREQ(buffer, "READY=1\nSTATUS=running");
  unsetenv("NOTIFY_SOCKET");
  close(fd);
}

}  // namespace
}  // namespace pigeonbox
