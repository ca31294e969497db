#include "base/format.h"

#include <vector>

#include "base/text.h"

namespace pigeonbox {
namespace {

struct Spec {
  bool leftAlign = false;
  bool zeroPad = false;
  bool plus = false;
  int width = 0;
  int precision = -1;
};

void Pad(std::u16string& out, std::u16string_view body, const Spec& spec, bool numeric) {
  size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
  if (body.size() >= width) {
    out += body;
    return;
  }
  size_t fill = width - body.size();
  if (spec.leftAlign) {
    out += body;
    out.append(fill, u' ');
  } else if (spec.zeroPad && numeric) {
    size_t sign = (!body.empty() && (body[0] == u'-' || body[0] == u'+')) ? 1 : 0;
    out += body.substr(0, sign);
    out.append(fill, u'0');
    out += body.substr(sign);
  } else {
    out.append(fill, u' ');
    out += body;
  }
}

std::u16string Digits(uint64_t value, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char16_t buf[32];
  int n = 0;
  do {
    buf[n++] = static_cast<char16_t>(digits[value % base]);
    value /= base;
  } while (value != 0);
  std::u16string out;
  while (n > 0) out += buf[--n];
  return out;
}

std::u16string TextOf(const FormatArg& arg) {
  switch (arg.kind()) {
    case FormatArg::Kind::kText16:
      return std::u16string(arg.text16());
    case FormatArg::Kind::kText8:
      return FromUtf8(arg.text8());
    case FormatArg::Kind::kSigned: {
      int64_t v = arg.AsSigned();
      if (v >= 0) return Digits(static_cast<uint64_t>(v), 10, false);
      std::u16string digits = Digits(0 - static_cast<uint64_t>(v), 10, false);
      digits.insert(digits.begin(), u'-');
      return digits;
    }
    case FormatArg::Kind::kUnsigned:
      return Digits(arg.AsUnsigned(), 10, false);
  }
  return {};
}

}  // namespace

std::u16string FormatTextList(std::u16string_view format, std::initializer_list<FormatArg> list) {
  std::vector<const FormatArg*> args;
  for (const FormatArg& a : list) args.push_back(&a);
  size_t next = 0;
  std::u16string out;
  out.reserve(format.size() + 32);
  size_t i = 0;
  while (i < format.size()) {
    char16_t c = format[i++];
    if (c != u'%') {
      out += c;
      continue;
    }
    if (i < format.size() && format[i] == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    Spec spec;
    for (; i < format.size(); ++i) {
      if (format[i] == u'-')
        spec.leftAlign = true;
      else if (format[i] == u'0')
        spec.zeroPad = true;
      else if (format[i] == u'+')
        spec.plus = true;
      else if (format[i] == u' ' || format[i] == u'#')
        continue;
      else
        break;
    }
    while (i < format.size() && format[i] >= u'0' && format[i] <= u'9')
      spec.width = spec.width * 10 + (format[i++] - u'0');
    if (i < format.size() && format[i] == u'.') {
      spec.precision = 0;
      ++i;
      while (i < format.size() && format[i] >= u'0' && format[i] <= u'9')
        spec.precision = spec.precision * 10 + (format[i++] - u'0');
    }
    // Length modifiers carry no meaning here: every argument knows its own type.
    while (i < format.size() && (format[i] == u'l' || format[i] == u'h' || format[i] == u'z' ||
                                 format[i] == u'I' || format[i] == u'6' || format[i] == u'4'))
      ++i;
    if (i >= format.size()) break;
    char16_t conv = format[i++];
    const FormatArg* arg = next < args.size() ? args[next++] : nullptr;
    if (arg == nullptr) continue;
    switch (conv) {
      case u'd':
      case u'i': {
        std::u16string body = TextOf(arg->kind() == FormatArg::Kind::kUnsigned
                                         ? FormatArg(static_cast<int64_t>(arg->AsUnsigned()))
                                         : *arg);
        if (spec.plus && arg->kind() != FormatArg::Kind::kText16 &&
            arg->kind() != FormatArg::Kind::kText8 && arg->AsSigned() >= 0)
          body.insert(body.begin(), u'+');
        Pad(out, body, spec, true);
        break;
      }
      case u'u':
        Pad(out,
            arg->kind() == FormatArg::Kind::kSigned
                ? Digits(static_cast<uint32_t>(arg->AsSigned()), 10, false)
                : TextOf(*arg),
            spec, true);
        break;
      case u'x':
      case u'X': {
        bool isText =
            arg->kind() == FormatArg::Kind::kText16 || arg->kind() == FormatArg::Kind::kText8;
        uint64_t v = arg->kind() == FormatArg::Kind::kSigned
                         ? static_cast<uint32_t>(arg->AsSigned())
                         : arg->AsUnsigned();
        Pad(out, isText ? TextOf(*arg) : Digits(v, 16, conv == u'X'), spec, !isText);
        break;
      }
      case u'c':
        if (arg->kind() == FormatArg::Kind::kText16 || arg->kind() == FormatArg::Kind::kText8)
          Pad(out, TextOf(*arg), spec, false);
        else
          Pad(out, std::u16string(1, static_cast<char16_t>(arg->AsUnsigned())), spec, false);
        break;
      default: {  // s, S and anything else: the argument as text
        std::u16string body = TextOf(*arg);
        if (spec.precision >= 0 && body.size() > static_cast<size_t>(spec.precision))
          body.resize(spec.precision);
        Pad(out, body, spec, false);
        break;
      }
    }
  }
  return out;
}

}  // namespace pigeonbox
