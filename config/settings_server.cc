// The half of the settings reader that reads Config/KVTServer.xml: the configuration centre, the
// application server's address, the file-transfer port and the user database.
#include <optional>

#include "base/text.h"
#include "config/settings_readers.h"
#include "config/settings_rules.h"

namespace pigeonbox {
namespace {

// Buffer sizes of the readers, in characters with the terminating zero.
constexpr size_t kCentreAddressBuffer = 64;
constexpr size_t kAppServerIpBuffer = 127;
constexpr size_t kGuidBuffer = 127;
constexpr size_t kConnectionBuffer = DatabaseSettings::kConnectionChars + 1;

std::u16string CutTo(const std::u16string& text, size_t buffer) {
  return text.substr(0, buffer - 1);
}

void ReadCentre(FindingList& list, ServerConfigFile& file, CentreSettings* c) {
  const std::string fallback = "the configuration centre is looked for at 127.0.0.1:8016";
  const std::string where = "ConfigCenter/Basic_Setting";
  const ServerConfigFile::BasicSettingTexts texts = file.ReadBasicSettingTexts(u"ConfigCenter");
  if (file.load().ok()) {
    if (!texts.found)
      list.Add(where, std::nullopt, "missing", fallback);
    else if (!texts.ip)
      list.Add(where + "/IP", std::nullopt, "missing", fallback);
  }
  // A refused TCPPort counts as a missing one.
  std::optional<uint16_t> port;
  if (texts.tcpPort) {
    port = ReadPort(list, where + "/TCPPort", *texts.tcpPort,
                    texts.ip && texts.udpPort ? "taken as missing" : fallback);
  }
  // Without the IP, or without any port, the whole address takes its default.
  if (!texts.ip || (!port && !texts.udpPort)) return;
  c->address = CutTo(*texts.ip, kCentreAddressBuffer);
  c->port = port.value_or(0);
  if (!port) {
    // The IP and only a UDPPort: the address is taken with port 0, as it always was.
    list.Add(where + "/TCPPort", std::nullopt, "missing or refused beside the IP and UDPPort",
             "port 0: the server runs without the configuration centre");
  }
}

void ReadAppServer(FindingList& list, ServerConfigFile& file, AppConfig* app) {
  const std::string where = "APPServer/Basic_Setting";
  const ServerConfigFile::BasicSettingTexts texts = file.ReadBasicSettingTexts(u"APPServer");
  // What the section holds replaces the application file's address; what it lacks keeps it.
  if (texts.ip) app->appSvrIp = CutTo(*texts.ip, kAppServerIpBuffer);
  if (texts.tcpPort) {
    const std::string keeps = app->appSvrPort != 0
                                  ? "the port of AppOffMsg.xml App/AppSvrInfo (" +
                                        std::to_string(app->appSvrPort) + ") is used"
                                  : "there is no port to register at";
    if (std::optional<uint16_t> port = ReadPort(list, where + "/TCPPort", *texts.tcpPort, keeps))
      app->appSvrPort = *port;
  }
  if (app->appSvrIp.empty() || app->appSvrPort == 0) {
    list.Add(where, std::nullopt,
             "no application-server address (IP and TCPPort) here nor in AppOffMsg.xml "
             "App/AppSvrInfo",
             "the registration with the application server fails: the server does not start", true);
  }
}

void ReadTransfer(FindingList& list, ServerConfigFile& file, TransferSettings* t) {
  const std::string where = "Pigeonbox/Basic_Setting";
  const std::string fallback = "the file transfer listens on 8015";
  const ServerConfigFile::BasicSettingTexts texts = file.ReadBasicSettingTexts(u"Pigeonbox");
  if (!texts.found) {
    if (file.load().ok()) list.Add(where, std::nullopt, "missing", fallback);
    return;
  }
  if (!texts.tcpPort) return;
  if (std::optional<uint16_t> port = ReadPort(list, where + "/TCPPort", *texts.tcpPort, fallback))
    t->port = *port;
}

void ReadDatabase(FindingList& list, ServerConfigFile& file, DatabaseSettings* d) {
  std::u16string connection;
  if (file.ReadDbConnString(&connection, kConnectionBuffer)) {
    d->connection = connection;
  } else if (file.load().ok()) {
    list.Add("DBServer/DB_Setting@DBConnstring", std::nullopt, "missing or empty",
             "there is no user database: the server does not start", true);
  }
}

}  // namespace

void ReadServerFileSettings(const std::string& installRoot, ServerSettings* s) {
  ServerConfigFile file(installRoot);
  FindingList list(&s->findings, ServerConfigPath(installRoot));
  list.AddLoad(file.load(),
               "the configuration centre is looked for at 127.0.0.1:8016, the file transfer "
               "listens on 8015, and without the user database the server does not start",
               true);
  const std::string root = file.DocumentElement();
  if (file.load().ok() && root != "KVTServers") {
    list.Add({}, root, "the document element is not KVTServers",
             "this service's configuration items are not read");
  }
  ReadCentre(list, file, &s->centre);
  std::u16string guid;
  if (file.ReadServiceGuid(u"Pigeonbox", &guid, kGuidBuffer)) s->centre.guid = guid;
  file.LoadConfigItems(&s->centre.items);
  if (s->app) ReadAppServer(list, file, &*s->app);
  ReadTransfer(list, file, &s->transfer);
  ReadDatabase(list, file, &s->offmsg.database);
}

}  // namespace pigeonbox
