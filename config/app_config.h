// The application's identity and the application server's address, read at start from
// <root>AppConfig/AppOffMsg.xml (the server's address then replaced by what the "APPServer"
// section of <root>Config/KVTServer.xml holds, see settings.h).
//
//   <App>
//     <AppRegInfo><Request_Type>IM_Msg|Group_Msg|</Request_Type></AppRegInfo>
//     <AppInfo AppGuid="{...}" AppName="OffMsg" MsgType="..." Priority="5"/>
//     <AppSvrInfo AppSvrIp="127.0.0.1" AppSvrPort="8011"/>      (optional)
//     <Setting .../>                                            (the offline-message settings)
//   </App>
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "markup/markup_document.h"

namespace pigeonbox {

struct AppConfig {
  std::u16string appSvrIp;
  uint16_t appSvrPort = 0;
  std::u16string appGuid;
  std::u16string appName;
  int32_t priority = 0;
  std::u16string msgType;     // read, not used
  std::u16string appRegInfo;  // inner markup of AppRegInfo, passed at registration
  std::vector<std::u16string> requestTypes;
};

// Longest texts kept, in characters.
inline constexpr size_t kAppRegInfoChars = 511;
inline constexpr size_t kAppGuidChars = 47;
inline constexpr size_t kAppNameChars = 63;
inline constexpr size_t kMsgTypeChars = 63;
inline constexpr size_t kAppSvrIpChars = 127;

// The pieces of a Request_Type text cut at every "|", empty pieces left out, in order.
std::vector<std::u16string> SplitRequestTypes(std::u16string_view text);

std::string AppConfigPath(const std::string& installRoot);

// The file loaded once; the settings and the identity are read from it.
class AppConfigFile {
 public:
  explicit AppConfigFile(const std::string& installRoot);

  const ConfigLoad& load() const { return load_; }
  // Name of the document element; empty when the file did not load.
  std::string DocumentElement();
  // Whether the document element is App and has a Setting child.
  bool HasSetting();

  // The attribute `name` of App/Setting, cut to at most maxChars characters. nullopt when the
  // file did not load or has no App or Setting element; an empty text when the attribute is
  // missing.
  std::optional<std::u16string> Setting(std::u16string_view name, size_t maxChars);

  // The identity into `config` (request types cleared first). False when the file did not load
  // or its root App lacks AppRegInfo or AppInfo; a root of another name leaves the values empty
  // and succeeds. A missing AppSvrInfo keeps the address as it was.
  bool ReadAppConfig(AppConfig* config);

 private:
  MarkupDocument doc_;
  ConfigLoad load_;
};

// AppConfigFile(installRoot).ReadAppConfig(config).
bool ReadAppConfig(const std::string& installRoot, AppConfig* config);

}  // namespace pigeonbox
