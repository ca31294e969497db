#include "config/app_settings.h"

#include "base/text.h"
#include "markup/markup_document.h"

namespace pigeonbox {

std::string AppConfigPath(const std::string& installRoot) {
  return installRoot + "AppConfig/AppOffMsg.xml";
}

std::optional<std::u16string> ReadAppSetting(const std::string& installRoot,
                                             std::u16string_view name, size_t maxChars) {
  MarkupDocument doc;
  if (!doc.LoadFile(AppConfigPath(installRoot)) || !doc.FindNext("App") ||
      !doc.FindNextChild("Setting"))
    return std::nullopt;
  std::u16string value = FromAnsi(doc.GetChildAttribute(ToAnsi(name)));
  if (value.size() > maxChars) value.resize(maxChars);
  return value;
}

int32_t ReadAppSettingNumber(const std::string& installRoot, std::u16string_view name,
                             int32_t fallback) {
  std::optional<std::u16string> text = ReadAppSetting(installRoot, name, 12);
  return text ? ParseDecimal(*text) : fallback;
}

CountSetting ReadAppSettingCount(const std::string& installRoot, std::u16string_view name,
                                 int32_t fallback, int32_t maxValue) {
  CountSetting setting;
  setting.value = fallback;
  std::optional<std::u16string> text = ReadAppSetting(installRoot, name, 12);
  if (!text || text->empty()) return setting;
  setting.text = *text;
  bool digits = text->size() <= 9;  // fits 32 bits
  for (char16_t c : *text) digits = digits && c >= u'0' && c <= u'9';
  const int32_t value = digits ? ParseDecimal(*text) : -1;
  if (value < 0 || value > maxValue) {
    setting.refused = true;
  } else {
    setting.value = value;
  }
  return setting;
}

}  // namespace pigeonbox
