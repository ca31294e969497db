#include "config/app_config.h"

#include "base/text.h"

namespace pigeonbox {
namespace {

std::u16string Cut(std::u16string text, size_t maxChars) {
  if (text.size() > maxChars) text.resize(maxChars);
  return text;
}

std::u16string ChildAttribute(const MarkupDocument& doc, std::string_view name, size_t maxChars) {
  return Cut(FromAnsi(doc.GetChildAttribute(name)), maxChars);
}

// The markup between the start and the end tag of the child element; empty for <AppRegInfo/>.
std::string ChildInnerMarkup(const MarkupDocument& doc) {
  std::string outer = doc.GetChildOuterText();
  size_t open = outer.find('>');
  size_t close = outer.rfind("</");
  if (open == std::string::npos || close == std::string::npos || close <= open) return {};
  return outer.substr(open + 1, close - open - 1);
}

}  // namespace

std::vector<std::u16string> SplitRequestTypes(std::u16string_view text) {
  std::vector<std::u16string> types;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = std::min(text.find(u'|', begin), text.size());
    if (end > begin) types.emplace_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return types;
}

std::string AppConfigPath(const std::string& installRoot) {
  return installRoot + "AppConfig/AppOffMsg.xml";
}

AppConfigFile::AppConfigFile(const std::string& installRoot)
    : load_(LoadConfigDocument(AppConfigPath(installRoot), &doc_)) {}

std::string AppConfigFile::DocumentElement() {
  doc_.Rewind();
  return doc_.FindNext() ? doc_.GetTagName() : std::string();
}

bool AppConfigFile::HasSetting() {
  doc_.Rewind();
  return doc_.FindNext("App") && doc_.FindNextChild("Setting");
}

std::optional<std::u16string> AppConfigFile::Setting(std::u16string_view name, size_t maxChars) {
  if (!HasSetting()) return std::nullopt;
  return Cut(FromAnsi(doc_.GetChildAttribute(ToAnsi(name))), maxChars);
}

bool AppConfigFile::ReadAppConfig(AppConfig* config) {
  config->requestTypes.clear();
  MarkupDocument& doc = doc_;
  doc.Rewind();
  if (!load_.ok()) return false;
  if (!doc.FindNext("App")) return true;

  if (!doc.FindNextChild("AppRegInfo")) return false;
  config->appRegInfo = Cut(FromAnsi(ChildInnerMarkup(doc)), kAppRegInfoChars);
  doc.Descend();
  if (doc.FindNextChild("Request_Type")) {
    config->requestTypes = SplitRequestTypes(FromAnsi(doc.GetChildContent()));
  }
  doc.Ascend();

  doc.ResetChild();
  if (!doc.FindNextChild("AppInfo")) return false;
  config->appGuid = ChildAttribute(doc, "AppGuid", kAppGuidChars);
  config->appName = ChildAttribute(doc, "AppName", kAppNameChars);
  config->msgType = ChildAttribute(doc, "MsgType", kMsgTypeChars);
  config->priority = static_cast<int16_t>(ParseDecimal(doc.GetChildAttribute("Priority")));

  doc.ResetChild();
  if (doc.FindNextChild("AppSvrInfo")) {
    config->appSvrIp = ChildAttribute(doc, "AppSvrIp", kAppSvrIpChars);
    config->appSvrPort = static_cast<uint16_t>(ParseDecimal(doc.GetChildAttribute("AppSvrPort")));
  }
  return true;
}

bool ReadAppConfig(const std::string& installRoot, AppConfig* config) {
  return AppConfigFile(installRoot).ReadAppConfig(config);
}

}  // namespace pigeonbox
