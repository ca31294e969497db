#include "config/server_config.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "config/install_root.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

constexpr char kFullConfig[] =
    "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
    "<KVTServers>\n"
    "\t<ConfigCenter>\n"
    "\t\t<Basic_Setting><IP>10.0.0.5</IP><TCPPort>8016</TCPPort><UDPPort>8017</UDPPort>"
    "</Basic_Setting>\n"
    "\t</ConfigCenter>\n"
    "\t<APPServer>\n"
    "\t\t<Basic_Setting><UDPPort>9011</UDPPort><TCPPort>70000</TCPPort><IP>app.local</IP>"
    "</Basic_Setting>\n"
    "\t</APPServer>\n"
    "\t<Other GUID=\"{wrong}\"/>\n"
    "\t<Pigeonbox GUID=\"{6F1D2C3B-4A5E-4F60-8B7C-9D0E1F2A3B4C}\">\n"
    "\t\t<Basic_Setting Ver=\"3\"><IP>127.0.0.1</IP><TCPPort> 8012xyz</TCPPort></Basic_Setting>\n"
    "\t\t<OffMsg_Setting Ver=\"-1\" Mode=\"\xD6\xD0\"/>\n"
    "\t\t<NoVersion/>\n"
    "\t</Pigeonbox>\n"
    "\t<DBServer><DB_Setting DBConnstring=\"Driver=SQLite3;Database=/x/users.db\"/></DBServer>\n"
    "</KVTServers>\n";

class ServerConfigTest : public ::testing::Test {
 protected:
  void WriteConfig(const std::string& text) { dir_.Write("Config/KVTServer.xml", text); }
  const std::string& root() const { return dir_.path(); }

  testutil::TempDir dir_;
};

TEST_F(ServerConfigTest, ReadsAddressesPortsAndTheirTruncation) {
  WriteConfig(kFullConfig);
  std::u16string ip;
  uint16_t tcp = 1, udp = 1;
  ASSERT_TRUE(ReadBasicSetting(root(), u"ConfigCenter", &ip, 64, &tcp, &udp));
  EXPECT_EQ(ip, u"10.0.0.5");
  EXPECT_EQ(tcp, 8016);
  EXPECT_EQ(udp, 8017);
  // Order of the values does not matter; 70000 keeps its low 16 bits.
  ASSERT_TRUE(ReadBasicSetting(root(), u"APPServer", &ip, 127, &tcp, &udp));
  EXPECT_EQ(ip, u"app.local");
  EXPECT_EQ(tcp, 4464);
  EXPECT_EQ(udp, 9011);
  // " 8012xyz" reads as 8012; a missing UDPPort leaves the output as it was.
  udp = 77;
  ASSERT_TRUE(ReadBasicSetting(root(), u"Pigeonbox", &ip, 4, &tcp, &udp));
  EXPECT_EQ(ip, u"127");  // cut to ipLen - 1
  EXPECT_EQ(tcp, 8012);
  EXPECT_EQ(udp, 77);
}

TEST_F(ServerConfigTest, BasicSettingFailures) {
  WriteConfig(
      "<KVTServers><APPServer><Basic_Setting><TCPPort>1</TCPPort><UDPPort>2</UDPPort>"
      "</Basic_Setting></APPServer><ConfigCenter/>"
      "<Pigeonbox><Basic_Setting><IP>h</IP></Basic_Setting></Pigeonbox></KVTServers>");
  std::u16string ip = u"keep";
  uint16_t tcp = 0, udp = 0;
  // IP missing but both ports present: false, yet both ports written.
  EXPECT_FALSE(ReadBasicSetting(root(), u"APPServer", &ip, 64, &tcp, &udp));
  EXPECT_EQ(ip, u"keep");
  EXPECT_EQ(tcp, 1);
  EXPECT_EQ(udp, 2);
  // IP without any port: false.
  EXPECT_FALSE(ReadBasicSetting(root(), u"Pigeonbox", &ip, 64, &tcp, &udp));
  // Section without Basic_Setting, and a missing section: false, nothing written.
  tcp = udp = 9;
  ip = u"keep";
  EXPECT_FALSE(ReadBasicSetting(root(), u"ConfigCenter", &ip, 64, &tcp, &udp));
  EXPECT_FALSE(ReadBasicSetting(root(), u"DBServer", &ip, 64, &tcp, &udp));
  EXPECT_EQ(ip, u"keep");
  EXPECT_EQ(tcp, 9);
  EXPECT_EQ(udp, 9);
}

TEST_F(ServerConfigTest, GuidAndConnectionString) {
  std::string longGuid(200, 'G');
  WriteConfig(std::string(kFullConfig));
  std::u16string guid, conn;
  ASSERT_TRUE(ReadServiceGuid(root(), u"Pigeonbox", &guid, 127));
  EXPECT_EQ(guid, u"{6F1D2C3B-4A5E-4F60-8B7C-9D0E1F2A3B4C}");
  ASSERT_TRUE(ReadDbConnString(root(), &conn, 512));
  EXPECT_EQ(conn, u"Driver=SQLite3;Database=/x/users.db");

  WriteConfig("<KVTServers><Pigeonbox GUID=\"" + longGuid + "\"/></KVTServers>");
  ASSERT_TRUE(ReadServiceGuid(root(), u"Pigeonbox", &guid, 127));
  EXPECT_EQ(guid.size(), 126u);
  conn = u"untouched";
  EXPECT_FALSE(ReadDbConnString(root(), &conn, 512));
  EXPECT_EQ(conn, u"untouched");

  // Present but empty counts as missing.
  WriteConfig("<KVTServers><Pigeonbox GUID=\"\"/></KVTServers>");
  guid = u"untouched";
  EXPECT_FALSE(ReadServiceGuid(root(), u"Pigeonbox", &guid, 127));
  EXPECT_EQ(guid, u"untouched");
}

TEST_F(ServerConfigTest, ConfigItemsKeepTheirTextAndVersion) {
  WriteConfig(kFullConfig);
  std::vector<ConfigElem> held;
  LoadConfigItems(root(), &held);
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held[0].name, u"Basic_Setting");
  EXPECT_EQ(held[0].content,
            u"<Basic_Setting Ver=\"3\"><IP>127.0.0.1</IP><TCPPort> 8012xyz</TCPPort>"
            u"</Basic_Setting>");
  EXPECT_EQ(held[0].version, 3u);
  EXPECT_EQ(held[1].content, u"<OffMsg_Setting Ver=\"-1\" Mode=\"中\"/>");
  EXPECT_EQ(held[1].version, 0xFFFFFFFFu);
  EXPECT_EQ(held[2].version, 0u);
}

TEST_F(ServerConfigTest, MissingOrBrokenFileGivesNothing) {
  std::u16string text = u"x";
  uint16_t port = 5;
  std::vector<ConfigElem> held;
  EXPECT_FALSE(ReadServiceGuid(root(), u"Pigeonbox", &text, 127));
  EXPECT_FALSE(ReadBasicSetting(root(), u"Pigeonbox", &text, 64, &port, &port));
  LoadConfigItems(root(), &held);
  WriteConfig("<KVTServers><Pigeonbox GUID=\"g\"><Basic_Setting Ver=\"1\">");
  EXPECT_FALSE(ReadServiceGuid(root(), u"Pigeonbox", &text, 127));
  LoadConfigItems(root(), &held);
  EXPECT_TRUE(held.empty());
  EXPECT_EQ(text, u"x");
  EXPECT_EQ(port, 5);
}

TEST(InstallRootTest, DirectoryAboveTheExecutablesDirectory) {
  EXPECT_EQ(InstallRootFromExePath("/opt/pigeonbox/bin/pigeonbox"), "/opt/pigeonbox/");
  EXPECT_EQ(InstallRootFromExePath("/bin/pigeonbox"), "/");
  EXPECT_EQ(InstallRootFromExePath("/pigeonbox"), "");
  EXPECT_EQ(InstallRootFromExePath("pigeonbox"), "");

  setenv("PIGEONBOX_ROOT", "/srv/pb", 1);
  EXPECT_EQ(GetInstallRoot(), "/srv/pb/");
  unsetenv("PIGEONBOX_ROOT");
  // This test binary lives in <build>/config/, so its root is the build directory.
  std::string root = GetInstallRoot();
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(root.back(), '/');
}

}  // namespace
}  // namespace pigeonbox
