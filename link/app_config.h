// The application's identity and the application server's address, read at start from
// <root>AppConfig/AppOffMsg.xml and the "APPServer" section of <root>Config/KVTServer.xml.
//
//   <App>
//     <AppRegInfo><Request_Type>IM_Msg|Group_Msg|</Request_Type></AppRegInfo>
//     <AppInfo AppGuid="{...}" AppName="OffMsg" MsgType="..." Priority="5"/>
//     <AppSvrInfo AppSvrIp="127.0.0.1" AppSvrPort="8011"/>      (optional)
//     <Setting .../>                                            (read by the service)
//   </App>
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
inline constexpr size_t kBasicSettingIpChars = 126;

// The pieces of a Request_Type text cut at every "|", empty pieces left out, in order.
std::vector<std::u16string> SplitRequestTypes(std::u16string_view text);

// Reads the application configuration file into `config` (request types cleared first). False
// when the file cannot be loaded or its root App lacks AppRegInfo or AppInfo; a root of another
// name leaves the values empty and succeeds. A missing AppSvrInfo keeps the address as it was.
bool ReadAppConfig(const std::string& installRoot, AppConfig* config);

// Replaces the address with what the "APPServer" section of the server configuration holds;
// values it does not find stay as they are.
void ReadAppServerAddress(const std::string& installRoot, AppConfig* config);

}  // namespace pigeonbox
