#include "config/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>

#include "base/text.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

using testutil::TempDir;

constexpr char kCleanServerFile[] =
    "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
    "<KVTServers>\n"
    "\t<ConfigCenter><Basic_Setting><IP>10.0.0.5</IP><TCPPort>8016</TCPPort>"
    "<UDPPort>8016</UDPPort></Basic_Setting></ConfigCenter>\n"
    "\t<APPServer><Basic_Setting><IP>10.0.0.6</IP><TCPPort>8010</TCPPort></Basic_Setting>"
    "</APPServer>\n"
    "\t<Pigeonbox GUID=\"{G}\"><Basic_Setting Ver=\"1\"><IP>127.0.0.1</IP><TCPPort>8015</TCPPort>"
    "</Basic_Setting></Pigeonbox>\n"
    "\t<DBServer><DB_Setting DBConnstring=\"Driver=SQLite3;Database=users.db;PWD=s3cret\"/>"
    "</DBServer>\n"
    "</KVTServers>\n";

constexpr char kCleanAppFile[] =
    "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
    "<App>\n"
    "\t<AppRegInfo><Request_Type>Quorvel.KVT.IM|</Request_Type></AppRegInfo>\n"
    "\t<AppInfo AppGuid=\"{A}\" AppName=\"AppOffMsg\" Priority=\"1\"/>\n"
    "\t<Setting bOpenLimit=\"1\" Mode=\"daily\" FileSize=\"65536\" ExpireTime=\"604800\" "
    "StoreMaxCount=\"99\" StoreDisGroupMaxCount=\"300\"/>\n"
    "</App>\n";

class SettingsTest : public ::testing::Test {
 protected:
  // The clean files with every `from` replaced by `to` in one of them (an empty `from`: that
  // file is not written at all).
  ServerSettings ReadWith(bool appFile, const std::string& from, const std::string& to) {
    for (bool app : {false, true}) {
      std::string text = app ? kCleanAppFile : kCleanServerFile;
      const std::string name = app ? "AppConfig/AppOffMsg.xml" : "Config/KVTServer.xml";
      if (app == appFile) {
        if (from.empty()) {
          std::filesystem::remove(dir_.path() + name);
          continue;
        }
        EXPECT_NE(text.find(from), std::string::npos) << from;
        for (size_t at = text.find(from); at != std::string::npos;
             at = text.find(from, at + to.size()))
          text.replace(at, from.size(), to);
      }
      dir_.Write(name, text);
    }
    return ReadServerSettings(dir_.path());
  }

  TempDir dir_;
};

TEST_F(SettingsTest, CleanFilesGiveTheirValuesAndNoFinding) {
  const ServerSettings clean = ReadWith(false, "<KVTServers>", "<KVTServers>");
  EXPECT_TRUE(clean.findings.empty());
  ASSERT_TRUE(clean.app);
  EXPECT_EQ(clean.app->appSvrIp, u"10.0.0.6");
  EXPECT_EQ(clean.app->appSvrPort, 8010);
  EXPECT_EQ(clean.centre.address, u"10.0.0.5");
  EXPECT_EQ(clean.centre.guid, u"{G}");
  EXPECT_EQ(clean.centre.items.size(), 1u);
  EXPECT_EQ(clean.transfer.port, 8015);
  EXPECT_EQ(clean.offmsg.database.connection, u"Driver=SQLite3;Database=users.db;PWD=s3cret");
  EXPECT_TRUE(clean.offmsg.sweep.enabled);
  EXPECT_EQ(clean.offmsg.shrink.fileSize, 65536u);
  EXPECT_EQ(clean.offmsg.store.indexCacheMB, 64);  // a missing cache size keeps its default
}

// Each broken value: the findings it gives (in order, one text fragment each) and what the
// server then runs with.
TEST_F(SettingsTest, EachBrokenValueIsAFindingAndTakesItsRule) {
  struct Case {
    Case(bool appFile, std::string from, std::string to, std::vector<std::string> findings,
         std::function<bool(const ServerSettings&)> check)
        : appFile(appFile), from(from), to(to), findings(findings), check(check) {}
    bool appFile;
    std::string from, to;
    std::vector<std::string> findings;
    std::function<bool(const ServerSettings&)> check;
  };
  const Case cases[] = {
      Case(false, "", "", {"KVTServer.xml: file not found", "no application-server address"},
           [](const ServerSettings& s) {
             return s.centre.port == 8016 && s.transfer.port == 8015 &&
                    !s.offmsg.database.connection;
           }),
      Case(false, "</APPServer>", "</APPServr>",
           {"KVTServer.xml:4: not well-formed XML", "no application-server address"},
           [](const ServerSettings& s) { return s.app->appSvrPort == 0; }),
      Case(false, "<KVTServers>", "<KVTServer>",
           {"KVTServer.xml:7: not well-formed XML", "no application-server address"},  // end tag
           [](const ServerSettings& s) { return s.centre.items.empty(); }),
      Case(false, "<KVTServers>\n", "<KVTServer>\n<KVTServers>\n",
           {"KVTServer.xml:2: not well-formed XML", "no application-server address"},
           [](const ServerSettings& s) { return !s.centre.guid; }),
      Case(false, "KVTServers", "KVTServerz",
           {"\"KVTServerz\": the document element is not KVTServers"},
           [](const ServerSettings& s) {
             return s.centre.items.empty() && s.transfer.port == 8015;
           }),
      // Misspelled on both tags.
      Case(false, "APPServer>", "APPServr>",
           {"APPServer/Basic_Setting: no application-server address"},
           [](const ServerSettings& s) { return s.app->appSvrIp.empty(); }),
      Case(false, "<TCPPort>8015</TCPPort>", "<TCPPort>18O15</TCPPort>",
           {"Pigeonbox/Basic_Setting/TCPPort = \"18O15\": not a port number; the file transfer "
            "listens on 8015"},
           [](const ServerSettings& s) { return s.transfer.port == 8015; }),
      Case(false, "<TCPPort>8015</TCPPort>", "<TCPPort>99999</TCPPort>",
           {"TCPPort = \"99999\": does not fit 16 bits; the server uses 34463"},
           [](const ServerSettings& s) { return s.transfer.port == 34463; }),
      Case(false, "<TCPPort>8016</TCPPort>", "<TCPPort>x</TCPPort>",
           {"ConfigCenter/Basic_Setting/TCPPort = \"x\": not a port number; taken as missing",
            "TCPPort: missing or refused beside the IP and UDPPort; port 0: the server runs "
            "without"},
           [](const ServerSettings& s) {
             return s.centre.port == 0 && s.centre.address == u"10.0.0.5";
           }),
      Case(false, "<TCPPort>8016</TCPPort><UDPPort>8016</UDPPort>", "<TCPPort>x</TCPPort>",
           {"ConfigCenter/Basic_Setting/TCPPort = \"x\": not a port number; the configuration "
            "centre "
            "is looked for at 127.0.0.1:8016"},
           [](const ServerSettings& s) {
             return s.centre.port == 8016 && s.centre.address == u"127.0.0.1";
           }),
      Case(false, "<TCPPort>8010</TCPPort>", "<TCPPort>80 10</TCPPort>",
           {"APPServer/Basic_Setting/TCPPort = \"80 10\": not a port number",
            "no application-server address"},
           [](const ServerSettings& s) { return s.app->appSvrPort == 0; }),
      Case(false, "DBConnstring", "DBConnString",
           {"DBServer/DB_Setting@DBConnstring: missing or empty; there is no user database"},
           [](const ServerSettings& s) { return !s.offmsg.database.connection; }),
      Case(true, "", "", {"AppOffMsg.xml: file not found; the server does not start"},
           [](const ServerSettings& s) { return !s.app && !s.offmsg.shrink.enabled(); }),
      Case(true, "</AppRegInfo>", "", {"AppOffMsg.xml:6: not well-formed XML"},
           [](const ServerSettings& s) { return !s.app; }),
      Case(true, "<AppInfo", "<AppInf", {"App/AppRegInfo, App/AppInfo: missing"},
           [](const ServerSettings& s) { return !s.app; }),
      Case(true, "<App>", "<Ap>", {"AppOffMsg.xml:6: not well-formed XML"},
           [](const ServerSettings& s) { return !s.app; }),
      Case(true, "<Setting", "<Settings", {"App/Setting: missing; every setting takes its default"},
           [](const ServerSettings& s) {
             return s.offmsg.store.storeMaxCount == 99 && s.offmsg.shrink.mode == u"disable";
           }),
      Case(true, "StoreMaxCount=\"99\"", "StoreMaxCount=\"abc\"",
           {"App/Setting@StoreMaxCount = \"abc\": not a whole number; read as 0: each owner keeps "
            "only the newest person message"},
           [](const ServerSettings& s) { return s.offmsg.store.storeMaxCount == 0; }),
      Case(true, " StoreMaxCount=\"99\"", "", {"App/Setting@StoreMaxCount: missing; read as 0"},
           [](const ServerSettings& s) { return s.offmsg.store.storeMaxCount == 0; }),
      Case(true, "StoreDisGroupMaxCount=\"300\"", "StoreDisGroupMaxCount=\"1200\"",
           {"StoreDisGroupMaxCount = \"1200\": above 1000; 300 is used"},
           [](const ServerSettings& s) { return s.offmsg.store.storeDisGroupMaxCount == 300; }),
      Case(true, "StoreDisGroupMaxCount=\"300\"", "StoreDisGroupMaxCount=\"-1\"",
           {"\"-1\": below 0; read as -1: each owner keeps only the newest group message"},
           [](const ServerSettings& s) { return s.offmsg.store.storeDisGroupMaxCount == -1; }),
      Case(true, "Mode=\"daily\"", "Mode=\"Weekly\"",
           {"App/Setting@Mode = \"Weekly\": unknown Mode (letter case matters); the shrink thread "
            "runs but never shrinks"},
           [](const ServerSettings& s) { return s.offmsg.shrink.mode == u"Weekly"; }),
      Case(true, "Mode=\"daily\"", "Mode=\"hourly\"", {"@Mode = \"hourly\": unknown Mode;"},
           [](const ServerSettings& s) { return s.offmsg.shrink.enabled(); }),
      Case(true, "FileSize=\"65536\"", "FileSize=\"64k\"",
           {"@FileSize = \"64k\": not a whole number; nothing is shrunk"},
           [](const ServerSettings& s) { return s.offmsg.shrink.fileSize == UINT32_MAX; }),
      Case(true, "ExpireTime=\"604800\"", "ExpireTime=\"-5\"",
           {"@ExpireTime = \"-5\": not a whole number; nothing expires"},
           [](const ServerSettings& s) {
             return s.offmsg.shrink.expireTime == std::numeric_limits<double>::infinity();
           }),
      Case(true, "bOpenLimit=\"1\"", "bOpenLimit=\"yes\"",
           {"@bOpenLimit = \"yes\": not a whole number; read as 0"},
           [](const ServerSettings& s) { return !s.offmsg.sweep.enabled; }),
      Case(true, "<Setting", "<Setting SweepMaxShare=\"3O\"",
           {"@SweepMaxShare = \"3O\": not a number from 0 to 100; the default 20 is used"},
           [](const ServerSettings& s) { return s.offmsg.sweep.maxSharePercent == 20; }),
      Case(true, "<Setting", "<Setting IndexCacheMB=\"-1\"", {"@IndexCacheMB = \"-1\": below 0"},
           [](const ServerSettings& s) { return s.offmsg.store.indexCacheMB == 0; }),
      Case(true, "<Setting", "<Setting DbLoginTimeout=\"5s\"",
           {"@DbLoginTimeout = \"5s\": not a whole number of seconds above 0; read as 5 s"},
           [](const ServerSettings& s) { return s.offmsg.database.timeouts.loginSeconds == 5; }),
      Case(true, "Quorvel.KVT.IM|", "", {"Request_Type: no message type"},
           [](const ServerSettings& s) { return s.app->requestTypes.empty(); }),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    const ServerSettings s = ReadWith(c.appFile, c.from, c.to);
    std::string all;
    for (const Finding& f : s.findings) all += f.Text() + "\n";
    EXPECT_EQ(s.findings.size(), c.findings.size()) << all;
    for (size_t i = 0; i < std::min(c.findings.size(), s.findings.size()); ++i) {
      EXPECT_NE(s.findings[i].Text().find(c.findings[i]), std::string::npos)
          << s.findings[i].Text();
    }
    EXPECT_TRUE(c.check(s));
  }
}

TEST_F(SettingsTest, AppServerSectionReplacesWhatItHoldsOfTheApplicationFile) {
  auto address = [&](const std::string& from, const std::string& to) {
    ReadWith(false, from, to);
    std::string app = kCleanAppFile;
    app.insert(app.find("\t<Setting"),
               "\t<AppSvrInfo AppSvrIp=\"file.host\" AppSvrPort=\"8011\"/>\n");
    dir_.Write("AppConfig/AppOffMsg.xml", app);
    const ServerSettings s = ReadServerSettings(dir_.path());
    return ToUtf8(s.app->appSvrIp) + ":" + std::to_string(s.app->appSvrPort);
  };
  EXPECT_EQ(address("10.0.0.6", "app.local"), "app.local:8010");
  EXPECT_EQ(address("<IP>10.0.0.6</IP>", ""), "file.host:8010");
  EXPECT_EQ(address("APPServer>", "APPServr>"), "file.host:8011");
}

TEST(MaskConnectionStringTest, PasswordValuesAreMaskedWhateverTheirForm) {
  EXPECT_EQ(MaskConnectionString("Driver=SQLite3;Database=/x/users.db"),
            "Driver=SQLite3;Database=/x/users.db");
  EXPECT_EQ(MaskConnectionString("DSN=pg;UID=pb;PWD=s3cret;Port=5432"),
            "DSN=pg;UID=pb;PWD=****;Port=5432");
  EXPECT_EQ(MaskConnectionString("DSN=pg; password ={a;b=c};x"), "DSN=pg; password =****;x");
  EXPECT_EQ(MaskConnectionString("Pwd=s3cret"), "Pwd=****");
}

}  // namespace
}  // namespace pigeonbox
