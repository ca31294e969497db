// The half of the settings reader that reads AppConfig/AppOffMsg.xml: the identity and the
// attributes of App/Setting.
#include <algorithm>

#include "base/text.h"
#include "config/app_settings.h"
#include "config/settings_readers.h"
#include "config/settings_rules.h"

namespace pigeonbox {
namespace {

constexpr char kStartFails[] = "the server does not start";

std::string At(std::string_view attribute) {
  return "App/Setting@" + std::string(attribute);
}

// The attribute as written (up to a length no rule reads beyond), for the rules and the
// findings; nullopt without a Setting element.
std::optional<std::u16string> Raw(AppConfigFile& file, std::u16string_view name) {
  return file.Setting(name, 1024);
}

std::u16string Cut(std::u16string text, size_t maxChars) {
  if (text.size() > maxChars) text.resize(maxChars);
  return text;
}

// What a number means, said after "read as N" in a finding; empty when nothing needs saying.
using Meaning = std::string (*)(int32_t value);
std::string Plain(int32_t) {
  return {};
}
std::string PersonLimit(int32_t value) {
  return value <= 0 ? ": each owner keeps only the newest person message" : "";
}
std::string GroupLimit(int32_t value) {
  if (value == 0) return ": group messages are not stored";
  return value < 0 ? ": each owner keeps only the newest group message" : "";
}

// A number read by the decimal rule from at most `chars` characters: a missing attribute is 0.
// A text that the rule does not read in full is a finding; so is a missing or negative one when
// `count` is set (a limit that cannot sensibly be 0 or below).
int32_t Number(FindingList& list, AppConfigFile& file, std::u16string_view name, size_t chars,
               Meaning meaning, bool count = false) {
  const std::u16string raw = Raw(file, name).value_or(u"");
  const std::u16string text = Cut(raw, chars);
  const int32_t value = ParseDecimal(text);
  const std::string readAs = "read as " + std::to_string(value) + meaning(value);
  if (raw.empty()) {
    if (count) list.Add(At(ToUtf8(name)), std::nullopt, "missing", readAs);
  } else if (!IsWholeNumber(text) || text.size() < raw.size()) {
    list.Add(At(ToUtf8(name)), raw, "not a whole number", readAs);
  } else if (count && value < 0) {
    list.Add(At(ToUtf8(name)), raw, "below 0", readAs);
  }
  return value;
}

void ReadStore(FindingList& list, AppConfigFile& file, StoreSettings* s) {
  constexpr size_t kChars = 12;
  s->storeMaxCount = Number(list, file, u"StoreMaxCount", kChars, PersonLimit, true);
  s->storeDisGroupMaxCount = Number(list, file, u"StoreDisGroupMaxCount", kChars, GroupLimit, true);
  if (s->storeDisGroupMaxCount > 1000) {
    list.Add(At("StoreDisGroupMaxCount"), Raw(file, u"StoreDisGroupMaxCount").value_or(u""),
             "above 1000", "300 is used");
    s->storeDisGroupMaxCount = 300;
  }
  s->syncWrites = Number(list, file, u"SyncWrites", kChars, Plain) > 0;
  // Unlike the limits above, a missing cache size keeps its default.
  if (!Raw(file, u"IndexCacheMB").value_or(u"").empty()) {
    const int32_t cache = Number(list, file, u"IndexCacheMB", kChars, Plain);
    if (cache < 0) {
      list.Add(At("IndexCacheMB"), Raw(file, u"IndexCacheMB").value_or(u""), "below 0",
               "the index cache is off");
    }
    s->indexCacheMB = std::max(0, cache);
  }
}

// FileSize and ExpireTime: whole numbers (spaces, tabs and a "+" allowed) of up to 128 characters;
// anything else keeps the default, as a missing one does.
std::optional<double> ShrinkNumber(FindingList& list, AppConfigFile& file, std::u16string_view name,
                                   const char* keeps) {
  constexpr size_t kMaxChars = 128;
  const std::u16string text = Raw(file, name).value_or(u"");
  if (text.empty()) return std::nullopt;
  if (text.size() > kMaxChars || !IsWholeNumber(text) ||
      text.find_first_of(u"-\r\n") != std::u16string::npos) {
    list.Add(At(ToUtf8(name)), text, "not a whole number", keeps);
    return std::nullopt;
  }
  double value = 0;
  for (char16_t c : text) {
    if (c >= u'0' && c <= u'9') value = value * 10 + (c - u'0');
  }
  return value;
}

void ReadShrink(FindingList& list, AppConfigFile& file, ShrinkSettings* s) {
  if (std::optional<std::u16string> mode = file.Setting(u"Mode", 127)) s->mode = *mode;
  constexpr std::u16string_view kModes[] = {u"disable", u"daily", u"weekly", u"monthly"};
  if (std::find(std::begin(kModes), std::end(kModes), s->mode) == std::end(kModes)) {
    const bool caseOnly = std::any_of(std::begin(kModes), std::end(kModes), [&](auto known) {
      return EqualsIgnoreAsciiCase(known, s->mode);
    });
    list.Add(At("Mode"), s->mode,
             s->mode.empty() ? "missing"
             : caseOnly      ? "unknown Mode (letter case matters)"
                             : "unknown Mode",
             "the shrink thread runs but never shrinks (Mode=\"disable\" turns it off)");
  }
  if (std::optional<double> size = ShrinkNumber(list, file, u"FileSize", "nothing is shrunk")) {
    constexpr double kMax = std::numeric_limits<uint32_t>::max();
    s->fileSize = static_cast<uint32_t>(*size < kMax ? *size : kMax);
  }
  if (std::optional<double> expire = ShrinkNumber(list, file, u"ExpireTime", "nothing expires"))
    s->expireTime = *expire;
}

// A count of which only a plain number from 0 to maxValue is taken (CountSetting); anything
// else keeps the default.
int32_t Count(FindingList& list, AppConfigFile& file, std::u16string_view name, int32_t fallback,
              int32_t maxValue) {
  const CountSetting count = ParseCountSetting(file.Setting(name, 12), fallback, maxValue);
  if (count.refused) {
    list.Add(At(ToUtf8(name)), count.text, "not a number from 0 to " + std::to_string(maxValue),
             "the default " + std::to_string(fallback) + " is used");
  }
  return count.value;
}

void ReadSweep(FindingList& list, AppConfigFile& file, SweepSettings* s) {
  constexpr size_t kOpenLimitChars = 5;
  s->enabled = Number(list, file, u"bOpenLimit", kOpenLimitChars, Plain) > 0;
  s->maxSharePercent = Count(list, file, u"SweepMaxShare", s->maxSharePercent, 100);
}

void ReadTimeouts(FindingList& list, AppConfigFile& file, OdbcTimeouts* t) {
  for (auto [name, seconds] : {std::pair{u"DbLoginTimeout", &t->loginSeconds},
                               std::pair{u"DbQueryTimeout", &t->querySeconds}}) {
    const std::u16string raw = Raw(file, name).value_or(u"");
    const int32_t value = ParseDecimal(Cut(raw, 12));
    if (value > 0) *seconds = value;
    if (!raw.empty() && !IsWholeNumber(raw)) {
      list.Add(At(ToUtf8(name)), raw, "not a whole number of seconds above 0",
               "read as " + std::to_string(*seconds) + " s");
    }
  }
}

void ReadIdentity(FindingList& list, AppConfigFile& file, ServerSettings* s) {
  AppConfig app;
  if (!file.ReadAppConfig(&app)) {
    if (file.load().ok()) {
      list.Add("App/AppRegInfo, App/AppInfo", std::nullopt, "missing (both are required)",
               kStartFails, true);
    }
    return;
  }
  if (file.DocumentElement() != "App") {
    list.Add({}, file.DocumentElement(), "the document element is not App",
             "the application registers with an empty identity and no message type, and every "
             "setting takes its default");
  } else if (app.requestTypes.empty()) {
    list.Add("App/AppRegInfo/Request_Type", std::nullopt, "no message type",
             "no message is ever stored: every delivery is taken for a request");
  }
  s->app = std::move(app);
}

}  // namespace

void ReadAppSettings(const std::string& installRoot, ServerSettings* s) {
  AppConfigFile file(installRoot);
  FindingList list(&s->findings, AppConfigPath(installRoot));
  list.AddLoad(file.load(), std::string(kStartFails) + "; every setting takes its default", true);
  ReadIdentity(list, file, s);
  if (file.DocumentElement() == "App" && !file.HasSetting()) {
    list.Add("App/Setting", std::nullopt, "missing",
             "every setting takes its default (no sweep, no shrink, 99 person and 300 group "
             "messages per owner)");
  }
  if (!file.HasSetting()) return;
  ReadStore(list, file, &s->offmsg.store);
  ReadShrink(list, file, &s->offmsg.shrink);
  ReadSweep(list, file, &s->offmsg.sweep);
  ReadTimeouts(list, file, &s->offmsg.database.timeouts);
  s->metrics.listen = file.Setting(u"MetricsListen", MetricsSettings::kListenChars).value_or(u"");
  s->log.archivesKept = static_cast<size_t>(Count(list, file, u"LogArchivesKept",
                                                  static_cast<int32_t>(s->log.archivesKept),
                                                  LogSettings::kMaxArchivesKept));
}

}  // namespace pigeonbox
