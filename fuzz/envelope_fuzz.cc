// Fuzzes the data envelopes as requests arrive: UTF-16LE text from the network is loaded, the
// usual items are read, a reply item is set, and the result must load again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "link/wire/envelope.h"
#include "markup/markup_document.h"

namespace {

std::u16string Utf16Of(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  }
  return text;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pigeonbox;
  const std::u16string text = Utf16Of(data, size);
  // A key taken from the input itself, so that matching of odd keys is exercised too.
  const std::u16string key = text.substr(0, text.size() % 13);

  NarrowEnvelope request;
  if (request.Load(text)) {
    std::u16string value;
    int32_t number = 0;
    for (std::u16string_view name : {u"Command", u"msgid", u"COMMANDEX", u"CommandSDKTime"}) {
      if (request.GetString(name, &value, 64)) Check(value.size() < 64);
      request.GetLong(name, &number);
      request.GetStringW(name, &value);
    }
    request.GetStringW(key, &value);
    if (request.SetItem(key, kTypeString, text)) {
      NarrowEnvelope again;
      Check(again.Load(FromAnsi(request.Text())));
    }
  }

  WideEnvelope reply;
  if (reply.Load(text) && reply.SetItem(u"MsgTxt", kTypeBuffer, text)) {
    WideMarkupDocument check;
    Check(check.Parse(reply.Text()));
  }

  TypedEnvelope typed;
  typed.SetString(key, text);
  typed.SetLong(text, static_cast<int32_t>(size));
  WideMarkupDocument check;
  Check(check.Parse(typed.ToText()));
  return 0;
}
