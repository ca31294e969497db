#include "config/app_settings.h"

#include "base/text.h"

namespace pigeonbox {

std::optional<std::u16string> ReadAppSetting(const std::string& installRoot,
                                             std::u16string_view name, size_t maxChars) {
  return AppConfigFile(installRoot).Setting(name, maxChars);
}

int32_t ReadAppSettingNumber(const std::string& installRoot, std::u16string_view name,
                             int32_t fallback) {
  std::optional<std::u16string> text = ReadAppSetting(installRoot, name, 12);
  return text ? ParseDecimal(*text) : fallback;
}

CountSetting ReadAppSettingCount(const std::string& installRoot, std::u16string_view name,
                                 int32_t fallback, int32_t maxValue) {
  return ParseCountSetting(ReadAppSetting(installRoot, name, 12), fallback, maxValue);
}

CountSetting ParseCountSetting(const std::optional<std::u16string>& text, int32_t fallback,
                               int32_t maxValue) {
  CountSetting setting;
  setting.value = fallback;
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
