// Reader of this server's own settings file, <root>AppConfig/AppOffMsg.xml:
//
//   <App><AppRegInfo>...</AppRegInfo><AppInfo .../><Setting StoreMaxCount="99" .../></App>
//
// Settings are attributes of App/Setting, read once at start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/app_config.h"

namespace pigeonbox {

// The attribute `name` of App/Setting, cut to at most maxChars characters. nullopt when the
// file cannot be loaded or has no App or Setting element; an empty text when the attribute is
// missing.
std::optional<std::u16string> ReadAppSetting(const std::string& installRoot,
                                             std::u16string_view name, size_t maxChars);

// A number setting: the text (at most 12 characters) by the decimal rule; `fallback` when the
// file or its Setting element is missing, 0 when only the attribute is missing.
int32_t ReadAppSettingNumber(const std::string& installRoot, std::u16string_view name,
                             int32_t fallback);

// A count whose small values remove data (log archives kept, say), so only a certain value is
// taken: a plain number of decimal digits from 0 to maxValue. A missing file, element or
// attribute, an empty text and any other text give `fallback`; `refused` tells the last case.
struct CountSetting {
  int32_t value = 0;
  bool refused = false;
  std::u16string text;  // as written, for the log line of a refused value
};
CountSetting ReadAppSettingCount(const std::string& installRoot, std::u16string_view name,
                                 int32_t fallback, int32_t maxValue);
// The same rule on a text as read (at most 12 characters; nullopt: no Setting element).
CountSetting ParseCountSetting(const std::optional<std::u16string>& text, int32_t fallback,
                               int32_t maxValue);

}  // namespace pigeonbox
