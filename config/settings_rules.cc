#include "config/settings_rules.h"

#include "base/text.h"

namespace pigeonbox {

void FindingList::Add(std::string where, std::optional<std::string> value, std::string problem,
                      std::string action, bool stopsStart) {
  findings_.push_back(Finding{file_, 0, std::move(where), std::move(value), std::move(problem),
                              std::move(action), stopsStart});
}

void FindingList::Add(std::string where, std::u16string_view value, std::string problem,
                      std::string action) {
  Add(std::move(where), ToUtf8(value), std::move(problem), std::move(action));
}

void FindingList::AddLoad(const ConfigLoad& load, std::string action, bool stopsStart) {
  std::string problem;
  switch (load.state) {
    case ConfigLoad::State::kLoaded:
      return;
    case ConfigLoad::State::kMissing:
      problem = "file not found";
      break;
    case ConfigLoad::State::kUnreadable:
      problem = "cannot be read: " + load.error;
      break;
    case ConfigLoad::State::kMalformed:
      problem = "not well-formed XML: " + load.error;
      break;
  }
  findings_.push_back(
      Finding{file_, load.line, {}, std::nullopt, problem, std::move(action), stopsStart});
}

bool IsWholeNumber(std::u16string_view text, bool signAllowed) {
  size_t i = 0, end = text.size();
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
  while (i < end && blank(text[i])) ++i;
  while (end > i && blank(text[end - 1])) --end;
  if (signAllowed && i < end && (text[i] == u'+' || text[i] == u'-')) ++i;
  if (i == end) return false;
  for (; i < end; ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
  }
  return true;
}

std::optional<uint16_t> ReadPort(FindingList& list, const std::string& where,
                                 std::u16string_view text, const std::string& fallback) {
  if (!IsWholeNumber(text, false)) {
    list.Add(where, text, "not a port number", fallback);
    return std::nullopt;
  }
  const int32_t value = ParseDecimal(text);
  const auto port = static_cast<uint16_t>(value);
  if (value > 65535) {
    list.Add(where, text, "does not fit 16 bits",
             "the server uses " + std::to_string(port) + " (the number cut to 16 bits)");
  }
  return port;
}

}  // namespace pigeonbox
