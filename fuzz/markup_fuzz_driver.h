// One fuzz run over a markup document, shared by the narrow and the wide target.
//
// Input layout: the document text, then optionally two zero bytes and an edit script. Without
// a script the text's own bytes drive the edits. The run parses the text, reads every element
// (name, attributes, content, outer text), applies the scripted navigation and edits, and checks:
// every value written reads back unchanged, and the edited text parses again into exactly the
// elements the edited table describes.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "markup/markup_document.h"

namespace pigeonbox::fuzz {

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

template <typename Char>
std::basic_string<Char> Ascii(std::string_view ascii) {
  return std::basic_string<Char>(ascii.begin(), ascii.end());
}

// Bytes as text of the document's character type: bytes as they are, or UTF-16 units from
// little-endian byte pairs.
template <typename Char>
std::basic_string<Char> FromBytes(std::string_view bytes) {
  if constexpr (sizeof(Char) == 1) {
    return std::basic_string<Char>(bytes);
  } else {
    std::basic_string<Char> out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      out += static_cast<Char>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1])
                                                                    << 8);
    }
    return out;
  }
}

// Every element in document order with its name, a few attributes, content and outer text.
template <typename Char>
std::basic_string<Char> Dump(BasicMarkupDocument<Char>& doc) {
  static const std::basic_string<Char> kNames[] = {Ascii<Char>("a"), Ascii<Char>("Key"),
                                                   Ascii<Char>("MsgID")};
  std::basic_string<Char> out;
  doc.Rewind();
  int depth = 0;
  auto visit = [&](auto&& self) -> void {
    do {
      out += static_cast<Char>('0' + depth % 10);
      out += doc.GetTagName();
      for (const auto& name : kNames) out += doc.GetAttribute(name) + static_cast<Char>('|');
      out += doc.GetContent() + static_cast<Char>('|');
      out += doc.GetOuterText() + static_cast<Char>('\n');
      if (doc.FindNextChild()) {
        FUZZ_CHECK(doc.Descend());
        ++depth;
        self(self);
        --depth;
        FUZZ_CHECK(doc.Ascend());
      }
    } while (doc.FindNext());
  };
  if (doc.FindNext()) visit(visit);
  doc.Rewind();
  return out;
}

template <typename Doc>
class MarkupFuzzer {
 public:
  using Char = typename Doc::String::value_type;
  using String = std::basic_string<Char>;

  MarkupFuzzer(Doc& doc, FuzzedDataProvider& script) : doc_(doc), script_(script) {}

  void Run(const String& text) {
    const bool parsed = doc_.Parse(text);
    FUZZ_CHECK(parsed == doc_.Error().empty());
    if (!parsed) {
      FUZZ_CHECK(doc_.Text() == text && !doc_.FindNext() && !doc_.FindNextChild());
    } else {
      Dump(doc_);
    }
    for (int steps = script_.ConsumeIntegralInRange(0, 24); steps > 0; --steps) Step();
    // Only AppendElement can give a failed document a table; without one the text is unchanged.
    doc_.Rewind();
    if (!doc_.FindNext()) {
      FUZZ_CHECK(!parsed && doc_.Text() == text);
      return;
    }
    const String edited = Dump(doc_);
    Doc again;
    const bool reparsed = again.Parse(doc_.Text());
    if (!reparsed || Dump(again) != edited) {
      std::fprintf(stderr, "edited text: %s\n", again.Error().c_str());
      std::fwrite(doc_.Text().data(), sizeof(Char), doc_.Text().size(), stderr);
      std::fprintf(stderr, "\n");
    }
    FUZZ_CHECK(reparsed);
    FUZZ_CHECK(Dump(again) == edited);
  }

 private:
  void Step() {
    const String name = Name();
    const String value = Value();
    switch (script_.ConsumeIntegralInRange(0, 11)) {
      case 0:
        doc_.FindNext(name);
        break;
      case 1:
        doc_.FindNextChild(name);
        break;
      case 2:
        doc_.Descend();
        break;
      case 3:
        doc_.Ascend();
        break;
      case 4:
        doc_.Rewind();
        break;
      case 5:
        if (doc_.SetAttribute(name, value)) FUZZ_CHECK(doc_.GetAttribute(name) == value);
        break;
      case 6:
        if (doc_.SetChildAttribute(name, value)) FUZZ_CHECK(doc_.GetChildAttribute(name) == value);
        break;
      case 7:
        if (doc_.SetContent(value, script_.ConsumeBool())) FUZZ_CHECK(doc_.GetContent() == value);
        break;
      case 8:
        if (doc_.SetChildContent(value, script_.ConsumeBool())) {
          FUZZ_CHECK(doc_.GetChildContent() == value);
        }
        break;
      case 9:
        if (doc_.AppendElement(name, value)) {
          FUZZ_CHECK(doc_.GetTagName() == name && doc_.GetContent() == value);
        }
        break;
      case 10:
        if (doc_.AppendChildElement(name, value)) {
          FUZZ_CHECK(doc_.GetChildTagName() == name && doc_.GetChildContent() == value);
        }
        break;
      case 11:
        doc_.RemoveChild();
        break;
    }
  }

  String Name() {
    static const char* kNames[] = {"a", "Item", "OffMsgRec", "x:y", "b-1.2", "*",
                                   "",  "1x",   "a b",       "q\"", "<"};
    const size_t pick = script_.ConsumeIntegralInRange<size_t>(0, std::size(kNames));
    if (pick < std::size(kNames)) return Ascii<Char>(kNames[pick]);
    return FromBytes<Char>(script_.ConsumeRandomLengthString(8));
  }

  String Value() {
    static const char* kPieces[] = {"<", "&", ">", "\"", "'", "]]>", "\r\n", "&amp;", "<![CDATA["};
    String value = FromBytes<Char>(script_.ConsumeRandomLengthString(12));
    if (script_.ConsumeBool()) {
      value +=
          Ascii<Char>(kPieces[script_.ConsumeIntegralInRange<size_t>(0, std::size(kPieces) - 1)]);
    }
    return value;
  }

  Doc& doc_;
  FuzzedDataProvider& script_;
};

// Splits the input into text and script and runs one fuzz case on a new document.
template <typename Doc>
void RunMarkupFuzz(const uint8_t* data, size_t size) {
  using Char = typename Doc::String::value_type;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find(std::string_view("\0\0", 2));
  const std::string_view text = input.substr(0, split);
  const std::string_view script = split == std::string_view::npos ? input : input.substr(split + 2);
  FuzzedDataProvider provider(reinterpret_cast<const uint8_t*>(script.data()), script.size());
  Doc doc;
  MarkupFuzzer<Doc>(doc, provider).Run(FromBytes<Char>(text));
}

}  // namespace pigeonbox::fuzz
