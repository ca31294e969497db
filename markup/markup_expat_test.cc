// Differential check against libexpat: every document of the corpus, and every document the
// markup classes produce from it by random edits with hostile values, must be well-formed XML to
// expat, and expat must see the same elements, attribute values and contents as the markup
// classes do (after XML's line-end and attribute-value normalization).
#include <expat.h>
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "base/text.h"
#include "markup/markup_document.h"

namespace pigeonbox {
namespace {

struct ExpatElement {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;  // character data directly inside the element
  int children = 0;
};

class ExpatReader {
 public:
  // Parses UTF-8 text; false with the reason in `error` when it is not well-formed.
  bool Parse(const std::string& text, std::string* error) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, &Start, &End);
    XML_SetCharacterDataHandler(parser, &Text);
    const bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1);
    if (!ok) *error = XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    return ok;
  }
  std::vector<ExpatElement> elements;

 private:
  static void Start(void* self, const XML_Char* name, const XML_Char** atts) {
    auto* r = static_cast<ExpatReader*>(self);
    if (!r->open_.empty()) ++r->elements[r->open_.back()].children;
    r->open_.push_back(r->elements.size());
    ExpatElement& e = r->elements.emplace_back();
    e.name = name;
    for (; *atts; atts += 2) e.attributes[atts[0]] = atts[1];
  }
  static void End(void* self, const XML_Char*) {
    static_cast<ExpatReader*>(self)->open_.pop_back();
  }
  static void Text(void* self, const XML_Char* s, int len) {
    auto* r = static_cast<ExpatReader*>(self);
    r->elements[r->open_.back()].text.append(s, len);
  }
  std::vector<size_t> open_;
};

std::string Utf8(std::string_view gbk) {
  return ToUtf8(FromAnsi(gbk));
}
std::string Utf8(std::u16string_view text) {
  return ToUtf8(text);
}
template <typename Char>
std::basic_string<Char> Native(const std::string& utf8) {
  if constexpr (sizeof(Char) == 1)
    return ToAnsi(FromUtf8(utf8));
  else
    return FromUtf8(utf8);
}

// What an XML processor reports for a text: line ends become "\n"; in attribute values every
// line end and tab becomes a blank.
std::string Normalized(std::string_view text, bool attribute) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      c = '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
    out += attribute && (c == '\n' || c == '\t') ? ' ' : c;
  }
  return out;
}

// The document as expat gets it: UTF-8, with its encoding declaration saying so.
template <typename Char>
std::string ForExpat(const std::basic_string<Char>& text) {
  std::string utf8 = Utf8(text);
  const size_t at = utf8.find("encoding=\"");
  if (at != std::string::npos && at < utf8.find("?>")) {
    const size_t end = utf8.find('"', at + 10);
    utf8.replace(at + 10, end - at - 10, "UTF-8");
  }
  return utf8;
}

// Walks the document in element order beside expat's elements and compares them.
template <typename Doc>
void ExpectSameAsExpat(Doc& doc) {
  using Char = typename Doc::String::value_type;
  ExpatReader expat;
  std::string error;
  ASSERT_TRUE(expat.Parse(ForExpat(doc.Text()), &error)) << error << "\n" << Utf8(doc.Text());
  size_t next = 0;
  auto visit = [&](auto&& self) -> void {
    ASSERT_LT(next, expat.elements.size());
    const ExpatElement& e = expat.elements[next++];
    EXPECT_EQ(Utf8(doc.GetTagName()), e.name);
    for (const auto& [name, value] : e.attributes) {
      EXPECT_EQ(Normalized(Utf8(doc.GetAttribute(Native<Char>(name))), true), value) << name;
    }
    // Content is read as text: comments and processing instructions in it are not taken out.
    const std::string outer = Utf8(doc.GetOuterText());
    const bool nodesInside = outer.find("<?") != outer.npos || outer.find("<!--") != outer.npos;
    if (e.children == 0 && !nodesInside) {
      EXPECT_EQ(Normalized(Utf8(doc.GetContent()), false), e.text);
    }
    while (doc.FindNextChild()) {
      doc.Descend();
      self(self);
      doc.Ascend();
    }
  };
  doc.Rewind();
  ASSERT_TRUE(doc.FindNext());
  visit(visit);
  EXPECT_EQ(next, expat.elements.size());
}

std::string IndexDocument(int entries) {
  std::string text = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<OffMsgIndexData DataSum=\"" +
                     std::to_string(entries) + "\">\n";
  for (int i = 0; i < entries; ++i) {
    text +=
        "<OffMsgRec CreateTime=\"17000" + std::to_string(i) + "\" Addr=\"" +
        std::to_string(i * 100) +
        "\" Len=\"100\" Type=\"Quorvel.KVT.IM\" SrcIdentifier=\"c\" "
        "Sender=\"\xD5\xC5\xC8\xFD\" Recievers=\";bob\" Title=\"&lt;\xD6\xD0&gt; &amp; &quot;\" "
        "MsgID=\"{" +
        std::to_string(i) + "}\" SessionDesc=\"\"/>\r\n";
  }
  return text + "</OffMsgIndexData>";
}

const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> corpus = {
      IndexDocument(0),
      IndexDocument(12),
      "<KVTCData><Item Key=\"Command\" Type=\"String\">GET_OFFMSG_SUM</Item>"
      "<Item Key=\"Count\" Type=\"Long\">3</Item></KVTCData>",
      "<KVTCData></KVTCData>",
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<App>\n\t<AppRegInfo>\n\t\t<Request_Type>"
      "Quorvel.KVT.IM|Quorvel.KVT.Notice|</Request_Type>\n\t</AppRegInfo>\n\t<AppInfo AppGuid="
      "\"{6F1D2C3B}\" AppName=\"AppOffMsg\" Priority=\"1\"/>\n\t<Setting bOpenLimit=\"1\" "
      "Mode=\"daily\" StoreMaxCount=\"99\"/>\n</App>\n",
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<KVTServers>\n\t<ConfigCenter>\n\t\t"
      "<Basic_Setting>\n\t\t\t<IP>127.0.0.1</IP>\n\t\t\t<TCPPort>8016</TCPPort>\n\t\t"
      "</Basic_Setting>\n\t</ConfigCenter>\n\t<Pigeonbox GUID=\"\">\n\t\t<Basic_Setting Ver=\"1\">"
      "\n\t\t\t<IP>127.0.0.1</IP>\n\t\t</Basic_Setting>\n\t</Pigeonbox>\n\t<DBServer>\n\t\t"
      "<DB_Setting DBConnstring=\"Driver=SQLite3;Database=/opt/x.db\"/>\n\t</DBServer>\n"
      "</KVTServers>",
      "<?xml version='1.0'?>\n<!DOCTYPE r [ <!ELEMENT r ANY> ]>\n<!-- note <x/> -->\n"
      "<r  a = '1&gt;2' b=\"&apos;\" ><?pi data?><c><![CDATA[<raw> & ]]></c>\n<d\n/><e>\xD6\xD0"
      "</e ></r>\n<!-- after -->\n",
  };
  return corpus;
}

TEST(MarkupExpatTest, CorpusIsAcceptedAndReadAlike) {
  for (const std::string& text : Corpus()) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(text)) << doc.Error() << "\n" << text;
    ExpectSameAsExpat(doc);
    WideMarkupDocument wide;
    ASSERT_TRUE(wide.Parse(FromAnsi(text))) << wide.Error();
    ExpectSameAsExpat(wide);
  }
}

// Random navigation and edits with values made of everything that needs escaping.
template <typename Doc>
class RandomEditor {
 public:
  using Char = typename Doc::String::value_type;
  using String = std::basic_string<Char>;

  RandomEditor(Doc& doc, uint32_t seed) : doc_(doc), random_(seed) {}

  void Step() {
    GoToRandomElement();
    const String name = Native<Char>(Pick(kNames));
    const String value = HostileValue();
    switch (Below(6)) {
      case 0:
        if (doc_.SetAttribute(name, value)) {
          EXPECT_EQ(doc_.GetAttribute(name), value);
        }
        break;
      case 1:
        if (doc_.FindNextChild() && doc_.SetChildAttribute(name, value)) {
          EXPECT_EQ(doc_.GetChildAttribute(name), value);
        }
        break;
      case 2: {
        if (doc_.FindNextChild() && Below(4) != 0) break;  // keep most subtrees
        const bool cdata = Below(2) == 0;
        ASSERT_TRUE(doc_.SetContent(value, cdata));
        EXPECT_EQ(doc_.GetContent(), value);
        break;
      }
      case 3:
        ASSERT_TRUE(doc_.AppendChildElement(name, value));
        EXPECT_EQ(doc_.GetChildTagName(), name);
        EXPECT_EQ(doc_.GetChildContent(), value);
        break;
      case 4:
        if (doc_.AppendElement(name, value)) {
          EXPECT_EQ(doc_.GetContent(), value);
        }
        break;
      case 5:
        if (doc_.FindNextChild()) {
          EXPECT_TRUE(doc_.RemoveChild());
        }
        break;
    }
  }

 private:
  static constexpr const char* kNames[] = {"Item", "OffMsgRec", "Key",
                                           "x:y",  "b-1.2",     "\xE4\xB8\xAD\xE6\x96\x87"};
  static constexpr const char* kPieces[] = {
      "<",   "&",         ">",   "\"",           "'",
      "]]>", "\r",        "\n",  "\r\n",         "\t",
      "a",   "Z9",        " ",   "&amp;",        "&lt;x&gt;",
      "]]",  "<![CDATA[", "-->", "\xE4\xB8\xAD", "\xE6\x96\x87"};

  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  template <size_t N>
  const char* Pick(const char* const (&list)[N]) {
    return list[Below(N)];
  }

  String HostileValue() {
    std::string utf8;
    for (size_t n = Below(9); n > 0; --n) utf8 += Pick(kPieces);
    return Native<Char>(utf8);
  }

  // Makes a random element current: down from the document element, a random child a level.
  void GoToRandomElement() {
    doc_.Rewind();
    ASSERT_TRUE(doc_.FindNext());
    while (Below(3) != 0) {
      size_t children = 0;
      while (doc_.FindNextChild()) ++children;
      doc_.ResetChild();
      if (children == 0) return;
      for (size_t k = Below(children); doc_.FindNextChild() && k > 0; --k) {
      }
      doc_.Descend();
    }
  }

  Doc& doc_;
  std::mt19937 random_;
};

template <typename Doc>
void EditAndCompare(const typename Doc::String& text, uint32_t seed) {
  Doc doc;
  ASSERT_TRUE(doc.Parse(text));
  RandomEditor<Doc> editor(doc, seed);
  for (int i = 0; i < 30; ++i) editor.Step();
  ExpectSameAsExpat(doc);
}

TEST(MarkupExpatTest, RandomEditsStayWellFormedAndReadBack) {
  uint32_t seed = 1;
  for (const std::string& text : Corpus()) {
    for (int run = 0; run < 25 && !HasFailure(); ++run, ++seed) {
      EditAndCompare<MarkupDocument>(text, seed);
      EditAndCompare<WideMarkupDocument>(FromAnsi(text), seed);
    }
  }
}

}  // namespace
}  // namespace pigeonbox
