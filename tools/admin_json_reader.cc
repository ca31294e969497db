#include "tools/admin_json_reader.h"

#include <charconv>
#include <tuple>

#include "base/text.h"

namespace pigeonbox::admin {
namespace {

class Reader {
 public:
  Reader(std::string_view s, std::string* error) : s_(s), error_(error) {}

  std::optional<JsonFields> Object() {
    JsonFields fields;
    if (!Eat('{')) return Fail("not a JSON object");
    if (!Eat('}')) {
      do {
        std::optional<std::u16string> key = String();
        if (!key) return std::nullopt;
        if (!Eat(':')) return Fail("a member lacks its ':'");
        std::optional<JsonField> value = Value();
        if (!value) return std::nullopt;
        if (!fields.emplace(ToUtf8(*key), std::move(*value)).second)
          return Fail("the member \"" + ToUtf8(*key) + "\" is given twice");
      } while (Eat(','));
      if (!Eat('}')) return Fail("the object is not closed");
    }
    Space();
    if (i_ != s_.size()) return Fail("text after the object");
    return fields;
  }

 private:
  std::nullopt_t Fail(std::string why) {
    if (error_->empty()) *error_ = std::move(why) + " (at byte " + std::to_string(i_ + 1) + ")";
    return std::nullopt;
  }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  bool Eat(char c) {
    Space();
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }
  std::optional<char16_t> Hex4() {
    uint16_t unit = 0;
    if (i_ + 4 > s_.size()) return std::nullopt;
    auto [ptr, ec] = std::from_chars(s_.data() + i_, s_.data() + i_ + 4, unit, 16);
    if (ec != std::errc() || ptr != s_.data() + i_ + 4) return std::nullopt;
    i_ += 4;
    return static_cast<char16_t>(unit);
  }
  std::optional<std::u16string> String() {
    if (!Eat('"')) return Fail("a string was expected");
    std::string raw;  // UTF-8 between escapes
    std::u16string out;
    auto flush = [&]() -> bool {
      std::u16string units = FromUtf8(raw);
      if (ToUtf8(units) != raw) return false;
      out += units;
      raw.clear();
      return true;
    };
    while (i_ < s_.size() && s_[i_] != '"') {
      const char c = s_[i_++];
      if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a string");
      if (c != '\\') {
        raw.push_back(c);
        continue;
      }
      if (!flush()) return Fail("a string is not UTF-8");
      if (i_ >= s_.size()) break;
      const char e = s_[i_++];
      constexpr std::string_view kSimple = "\"\\/bfnrt", kMeaning = "\"\\/\b\f\n\r\t";
      if (size_t k = kSimple.find(e); k != std::string_view::npos) {
        out += static_cast<char16_t>(kMeaning[k]);
      } else if (e == 'u') {
        std::optional<char16_t> unit = Hex4();
        if (!unit) return Fail("a bad \\u escape");
        out += *unit;
      } else {
        return Fail("a bad escape");
      }
    }
    if (i_ >= s_.size()) return Fail("a string is not closed");
    ++i_;
    if (!flush()) return Fail("a string is not UTF-8");
    // Escaped surrogates must pair up, like the UTF-8 text does.
    for (size_t k = 0; k < out.size(); ++k) {
      const char16_t u = out[k];
      if (u >= 0xD800 && u <= 0xDBFF && k + 1 < out.size() && out[k + 1] >= 0xDC00 &&
          out[k + 1] <= 0xDFFF) {
        ++k;
      } else if (u >= 0xD800 && u <= 0xDFFF) {
        return Fail("a lone surrogate in a string");
      }
    }
    return out;
  }
  std::optional<JsonField> Value() {
    Space();
    JsonField field;
    if (i_ < s_.size() && s_[i_] == '"') {
      std::optional<std::u16string> text = String();
      if (!text) return std::nullopt;
      field.kind = JsonField::Kind::kString;
      field.text = std::move(*text);
      return field;
    }
    for (auto [word, kind, number] : {std::tuple{"true", JsonField::Kind::kBool, 1},
                                      std::tuple{"false", JsonField::Kind::kBool, 0},
                                      std::tuple{"null", JsonField::Kind::kNull, 0}}) {
      if (s_.substr(i_).starts_with(word)) {
        i_ += std::string_view(word).size();
        field.kind = kind;
        field.number = number;
        return field;
      }
    }
    auto [ptr, ec] = std::from_chars(s_.data() + i_, s_.data() + s_.size(), field.number);
    if (ec != std::errc() || ptr == s_.data() + i_) return Fail("a value was expected");
    i_ = static_cast<size_t>(ptr - s_.data());
    if (i_ < s_.size() && (s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E'))
      return Fail("only whole numbers are read");
    field.kind = JsonField::Kind::kInteger;
    return field;
  }

  std::string_view s_;
  std::string* error_;
  size_t i_ = 0;
};

}  // namespace

std::optional<JsonFields> ReadJsonObject(std::string_view line, std::string* error) {
  error->clear();
  return Reader(line, error).Object();
}

}  // namespace pigeonbox::admin
