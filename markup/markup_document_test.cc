#include "markup/markup_document.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace pigeonbox {
namespace {

constexpr char kIndexFile[] =
    "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<OffMsgIndexData DataSum=\"0\">\n"
    "</OffMsgIndexData>";

// Every element in document order with its depth, name, attributes it is asked for, content and
// outer text, read through navigation only. A broken table that links elements in a circle
// ends the walk after 10000 elements instead of hanging the test.
template <typename Doc>
std::string Walk(Doc& doc) {
  std::ostringstream out;
  doc.Rewind();
  int depth = 0;
  int budget = 10000;
  auto visit = [&](auto&& self) -> void {
    do {
      if (--budget < 0) return;
      out << depth << ' ' << doc.GetTagName() << " [" << doc.GetAttribute("MsgID") << "] ["
          << doc.GetContent() << "] " << doc.GetOuterText() << '\n';
      if (doc.FindNextChild()) {
        doc.Descend();
        ++depth;
        self(self);
        --depth;
        doc.Ascend();
      }
    } while (doc.FindNext());
  };
  if (doc.FindNext()) visit(visit);
  doc.Rewind();
  return out.str();
}

// The table after edits must describe the text exactly as a fresh parse of it does.
void ExpectConsistent(MarkupDocument& doc) {
  MarkupDocument fresh;
  ASSERT_TRUE(fresh.Parse(doc.Text())) << fresh.Error() << "\n" << doc.Text();
  EXPECT_EQ(Walk(doc), Walk(fresh));
}

TEST(MarkupParseTest, RecordsForNestedEmptyElement) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.Parse("<a><b/></a>"));
  EXPECT_TRUE(doc.Error().empty());
  EXPECT_TRUE(doc.FindNext("a"));
  EXPECT_TRUE(doc.FindNextChild("b"));
  EXPECT_EQ(doc.GetChildContent(), "");
  EXPECT_EQ(doc.GetChildOuterText(), "<b/>");
  EXPECT_EQ(doc.GetOuterText(), "<a><b/></a>");
}

TEST(MarkupParseTest, SkipsNodesAndQuotedGreaterThan) {
  MarkupDocument doc;
  ASSERT_TRUE(
      doc.Parse("<?xml version=\"1.0\"?>\n<!-- <x> -->\n<!DOCTYPE r [ <!ENTITY e \"v\"> ]>\n"
                "<r a='1>2' b=\"/>\"><![CDATA[<c>]]><?pi <d/> ?><e/></r> trailing <junk"));
  ASSERT_TRUE(doc.FindNext("r"));
  EXPECT_EQ(doc.GetAttribute("a"), "1>2");
  EXPECT_EQ(doc.GetAttribute("b"), "/>");
  ASSERT_TRUE(doc.FindNextChild());
  EXPECT_EQ(doc.GetChildTagName(), "e");
  EXPECT_FALSE(doc.FindNextChild());
}

TEST(MarkupParseTest, NarrowErrorTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "Element tag not found"},
      {"just text", "Element tag not found"},
      {"<a>", "End tag of a element not found"},
      {"<", "Abrupt end within tag"},
      {"<\"a\"/>", "Tag starts with quote"},
      {"<!-- open", "Invalid node"},
      {"<?pi", "Invalid node"},
      {"<a x='1>", "End of tag not found"},
      {"<a <b/>", "End of tag not found"},
      {"<a><=</a>", "Expecting end tag of element a"},
      {"<a><b></a>", "End tag does not correspond to b"},
      {"<a></a x>", "End tag not completed for element a"},
      {"</a>", "No start tag for end tag a"},
  };
  for (const auto& [text, error] : cases) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(text)) << text;
    EXPECT_EQ(doc.Error(), error) << text;
    EXPECT_EQ(doc.Text(), text);
    EXPECT_FALSE(doc.FindNext());
    EXPECT_FALSE(doc.FindNextChild());
    EXPECT_FALSE(doc.SetAttribute("x", "1"));
  }
  MarkupDocument gbk;
  EXPECT_FALSE(gbk.Parse("<\xD6\xD0><b></\xD6\xD0>"));
  EXPECT_EQ(gbk.Error(), "End tag does not correspond to b");
  EXPECT_FALSE(gbk.Parse("<\xD6\xD0>"));
  EXPECT_EQ(gbk.Error(), "End tag of \xE4\xB8\xAD element not found");  // UTF-8
}

TEST(MarkupParseTest, WideErrorTexts) {
  const std::pair<const char16_t*, const char*> cases[] = {
      {u"", "Empty document"},
      {u" \r\n", "Empty document"},
      {u"<?xml version='1.0'?>", "No root element"},
      {u"<a/><b/>", "Root element has sibling"},
      {u"<a>", "Element 'a' at offset 0 not ended"},
      {u"<a><b></a>", "End tag 'a' at offset 6 does not match start tag 'b' at offset 3"},
      {u"<a/></b>", "No start tag for end tag 'b' at offset 4"},
      {u"<a><!-- x", "Comment at offset 3 unterminated"},
      {u"<?x", "Processing instruction at offset 0 unterminated"},
      {u"<a><![CDATA[", "CDATA section at offset 3 unterminated"},
      {u"<!DOCTYPE [>", "Declaration at offset 0 unterminated"},
      {u"<\u4e2d x=\"", "Start tag '\xE4\xB8\xAD' at offset 0 unterminated"},
      {u"<'a'>", "Incorrect tag at offset 0"},
      {u"<a></a x>", "Incorrect end tag at offset 3"},
  };
  for (const auto& [text, error] : cases) {
    WideMarkupDocument doc;
    EXPECT_FALSE(doc.Parse(text));
    EXPECT_EQ(doc.Error(), error);
  }
  WideMarkupDocument doc;
  EXPECT_TRUE(doc.Parse(u"<KVTCData></KVTCData>\r\n<!-- after -->"));
}

TEST(MarkupParseTest, NestingDepthIsBounded) {
  auto nested = [](int depth, std::string_view leaf) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "<e>";
    s += leaf;
    for (int i = 0; i < depth; ++i) s += "</e>";
    return s;
  };
  MarkupDocument doc;
  EXPECT_TRUE(doc.Parse(nested(kMaxMarkupDepth, "")));
  EXPECT_TRUE(doc.Parse(nested(kMaxMarkupDepth - 1, "<leaf/>")));
  EXPECT_FALSE(doc.Parse(nested(kMaxMarkupDepth, "<leaf/>")));
  EXPECT_EQ(doc.Error(), "Element nesting deeper than 256 levels");
  EXPECT_FALSE(doc.Parse(nested(100'000, "")));  // must not exhaust the stack
  std::u16string wideDeep;
  for (int i = 0; i <= kMaxMarkupDepth; ++i) wideDeep += u"<w>";
  WideMarkupDocument wide;
  EXPECT_FALSE(wide.Parse(wideDeep));
  EXPECT_EQ(wide.Error(), "Element 'w' at offset 768 nested deeper than 256 levels");
}

TEST(MarkupNavigationTest, FindDescendAscend) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.Parse("<r><a n='1'/><B/><a n='2'><c/></a></r>"));
  EXPECT_FALSE(doc.FindNext("R"));  // case-sensitive
  EXPECT_FALSE(doc.Ascend());
  EXPECT_TRUE(doc.FindNextChild("a"));  // finds r first
  EXPECT_EQ(doc.GetTagName(), "r");
  EXPECT_TRUE(doc.FindNextChild("a"));
  EXPECT_EQ(doc.GetChildAttribute("n"), "2");
  EXPECT_FALSE(doc.FindNextChild("a"));
  EXPECT_EQ(doc.GetChildAttribute("n"), "2");  // unchanged on failure
  ASSERT_TRUE(doc.Descend());
  EXPECT_EQ(doc.GetTagName(), "a");
  EXPECT_TRUE(doc.FindNextChild("*"));
  EXPECT_EQ(doc.GetChildTagName(), "c");
  EXPECT_TRUE(doc.Ascend());
  EXPECT_EQ(doc.GetTagName(), "r");
  EXPECT_EQ(doc.GetChildAttribute("n"), "2");
  doc.Rewind();
  EXPECT_EQ(doc.GetTagName(), "");
  EXPECT_TRUE(doc.Descend() == false);
}

TEST(MarkupAttributeTest, ReadRules) {
  MarkupDocument doc;
  ASSERT_TRUE(
      doc.Parse("<a u=1 k=\"x\" k='y' e=\"&lt;&amp;&gt;&apos;&quot;&foo;&#65;\" v = 'w'/>"));
  ASSERT_TRUE(doc.FindNext());
  EXPECT_EQ(doc.GetAttribute("u"), "");
  EXPECT_EQ(doc.GetAttribute("k"), "x");
  EXPECT_EQ(doc.GetAttribute("e"), "<&>'\"&foo;&#65;");
  EXPECT_EQ(doc.GetAttribute("v"), "w");
  EXPECT_EQ(doc.GetAttribute("x"), "");
  EXPECT_EQ(doc.GetAttribute("K"), "");

  // The same rules hold for several attributes read in one pass, and for the raw form.
  ASSERT_TRUE(doc.Parse("<r>" + doc.Text() + "</r>"));
  ASSERT_TRUE(doc.FindNextChild("a"));
  const std::string_view names[] = {"v", "u", "k", "e", "x"};
  std::string values[5] = {"stale", "stale", "stale", "stale", "stale"};
  doc.GetChildAttributes(names, values);
  EXPECT_EQ(values[0], "w");
  EXPECT_EQ(values[1], "");
  EXPECT_EQ(values[2], "x");
  EXPECT_EQ(values[3], "<&>'\"&foo;&#65;");
  EXPECT_EQ(values[4], "");
  EXPECT_EQ(doc.GetChildAttributeRaw("e"), "&lt;&amp;&gt;&apos;&quot;&foo;&#65;");
  EXPECT_EQ(doc.GetChildAttributeRaw("k"), "x");
  EXPECT_EQ(doc.GetChildAttributeRaw("u"), "");
}

TEST(MarkupAttributeTest, WriteRules) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.Parse("<r><OffMsgRec/><b x='old' /><c >t</c></r>"));
  ASSERT_TRUE(doc.FindNext());
  ASSERT_TRUE(doc.FindNextChild());
  EXPECT_TRUE(doc.SetChildAttribute("CreateTime", "1"));
  EXPECT_TRUE(doc.SetChildAttribute("Title", "say \"hi\" & <'bye'>"));
  EXPECT_EQ(doc.GetChildAttribute("Title"), "say \"hi\" & <'bye'>");
  ASSERT_TRUE(doc.FindNextChild());
  EXPECT_TRUE(doc.SetChildAttribute("x", "new value"));
  EXPECT_TRUE(doc.SetChildAttribute("y", "2"));
  ASSERT_TRUE(doc.FindNextChild());
  EXPECT_TRUE(doc.SetChildAttribute("z", "3"));
  EXPECT_FALSE(doc.SetChildAttribute("bad name", "1"));
  EXPECT_FALSE(doc.SetChildAttribute("q\"", "1"));
  EXPECT_FALSE(doc.SetChildAttribute("", "1"));
  EXPECT_EQ(doc.Text(),
            "<r><OffMsgRec CreateTime=\"1\" Title=\"say &quot;hi&quot; &amp; &lt;&apos;bye&apos;"
            "&gt;\"/><b x='new value' y=\"2\"/><c z=\"3\">t</c></r>");
  ExpectConsistent(doc);
}

TEST(MarkupContentTest, ReadRules) {
  MarkupDocument doc;
  ASSERT_TRUE(
      doc.Parse("<r><a>x &amp;&foo; y</a><b><![CDATA[<&amp;>]]></b><c><d/></c><e/>"
                "<f><![CDATA[a]]]]><![CDATA[>b]]></f></r>"));
  ASSERT_TRUE(doc.FindNext());
  const char* expected[] = {"x &&foo; y", "<&amp;>", "", "", "a]]>b"};
  for (const char* content : expected) {
    ASSERT_TRUE(doc.FindNextChild());
    EXPECT_EQ(doc.GetChildContent(), content);
  }
  EXPECT_EQ(doc.GetContent(), "");  // r has children
}

TEST(MarkupContentTest, WriteRules) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.Parse("<r><a/><b>old<x/><y><z/></y></b></r>"));
  ASSERT_TRUE(doc.FindNext());
  ASSERT_TRUE(doc.FindNextChild());
  EXPECT_TRUE(doc.SetChildContent("1 < 2 & \"3\" > 0"));
  ASSERT_TRUE(doc.FindNextChild());
  EXPECT_TRUE(doc.SetChildContent("a]]>b", true));
  EXPECT_EQ(doc.Text(),
            "<r><a>1 &lt; 2 &amp; \"3\" &gt; 0</a><b><![CDATA[a]]]]><![CDATA[>b]]></b></r>");
  EXPECT_EQ(doc.GetChildContent(), "a]]>b");
  ASSERT_TRUE(doc.Descend());
  EXPECT_FALSE(doc.FindNextChild());  // the old children are gone
  ASSERT_TRUE(doc.Ascend());
  EXPECT_TRUE(doc.SetContent("all"));
  EXPECT_EQ(doc.Text(), "<r>all</r>");
  EXPECT_FALSE(doc.FindNextChild());
  ExpectConsistent(doc);
}

TEST(MarkupInsertTest, AppendChildElementTexts) {
  MarkupDocument doc;
  ASSERT_TRUE(
      doc.Parse("<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
                "<OffMsgIndexData DataSum=\"0\">\n</OffMsgIndexData>"));
  ASSERT_TRUE(doc.FindNext("OffMsgIndexData"));
  ASSERT_TRUE(doc.AppendChildElement("OffMsgRec"));
  EXPECT_EQ(doc.GetChildTagName(), "OffMsgRec");
  EXPECT_EQ(doc.Text(),
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
            "<OffMsgIndexData DataSum=\"0\">\n<OffMsgRec/>\r\n</OffMsgIndexData>");
  ASSERT_TRUE(doc.AppendChildElement("V", "a<b"));
  EXPECT_TRUE(doc.Text().ends_with("<OffMsgRec/>\r\n<V>a&lt;b</V>\r\n</OffMsgIndexData>"));
  EXPECT_FALSE(doc.AppendChildElement("1x"));
  ExpectConsistent(doc);

  ASSERT_TRUE(doc.Parse("<a/>"));
  ASSERT_TRUE(doc.FindNext());
  ASSERT_TRUE(doc.AppendChildElement("b", "v"));
  EXPECT_EQ(doc.Text(), "<a><b>v</b>\r\n</a>");
  EXPECT_EQ(doc.GetChildContent(), "v");
  ExpectConsistent(doc);

  ASSERT_TRUE(doc.Parse("<a x='1' //>"));  // lenient empty form: no "/" may stay before ">"
  ASSERT_TRUE(doc.FindNext());
  ASSERT_TRUE(doc.AppendChildElement("b"));
  EXPECT_EQ(doc.Text(), "<a x='1' ><b/>\r\n</a>");
  ExpectConsistent(doc);
}

// An element appended with its attributes in one step has the bytes of the element appended
// bare and then given each attribute in turn, for values that need escaping, code-page bytes,
// empty values and a parent that is still in empty form.
TEST(MarkupInsertTest, AppendChildWithAttributesMatchesAttributeEdits) {
  const std::string values[] = {"",         "a&b<c>d\"e'f", "&amp;", "\xB2\xE2\xCA\xD4 x",
                                " \t\r\n ", "]]>"};
  for (const char* start : {kIndexFile, "<r/>", "<r>\n<OffMsgRec MsgID=\"m\"/>\r\n</r>"}) {
    for (const std::string& value : values) {
      const std::string id = value + "id";
      MarkupDocument stepwise, once;
      ASSERT_TRUE(stepwise.Parse(start));
      ASSERT_TRUE(once.Parse(start));
      ASSERT_TRUE(stepwise.FindNext());
      ASSERT_TRUE(once.FindNext());
      ASSERT_TRUE(stepwise.AppendChildElement("OffMsgRec"));
      ASSERT_TRUE(stepwise.SetChildAttribute("CreateTime", "-5"));
      ASSERT_TRUE(stepwise.SetChildAttribute("Title", value));
      ASSERT_TRUE(stepwise.SetChildAttribute("MsgID", id));
      const MarkupAttribute<char> attributes[] = {
          {"CreateTime", "-5"}, {"Title", value}, {"MsgID", id}};
      ASSERT_TRUE(once.AppendChildWithAttributes("OffMsgRec", attributes));
      EXPECT_EQ(once.Text(), stepwise.Text());
      EXPECT_EQ(once.GetChildAttribute("Title"), value);
      ExpectConsistent(once);
    }
  }
  MarkupDocument doc;
  ASSERT_TRUE(doc.Parse(kIndexFile));
  ASSERT_TRUE(doc.FindNext());
  const MarkupAttribute<char> bad[] = {{"1x", "v"}};
  EXPECT_FALSE(doc.AppendChildWithAttributes("OffMsgRec", bad));
  EXPECT_EQ(doc.Text(), kIndexFile);
}

TEST(MarkupInsertTest, AppendElementTexts) {
  MarkupDocument doc;
  EXPECT_FALSE(doc.FindNext());
  ASSERT_TRUE(doc.AppendElement("KVTCData"));
  EXPECT_EQ(doc.Text(), "<KVTCData/>\r\n");
  EXPECT_EQ(doc.GetTagName(), "KVTCData");
  EXPECT_FALSE(doc.AppendElement("Second"));
  ASSERT_TRUE(doc.AppendChildElement("Item", "1"));
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.AppendElement("Item", "2"));
  doc.Rewind();
  ASSERT_TRUE(doc.FindNextChild("Item"));  // the first Item
  ASSERT_TRUE(doc.Descend());
  ASSERT_TRUE(doc.AppendElement("Mid"));
  EXPECT_EQ(doc.Text(), "<KVTCData><Item>1</Item>\r\n<Mid/>\r\n<Item>2</Item>\r\n</KVTCData>\r\n");
  ExpectConsistent(doc);

  MarkupDocument prolog;
  EXPECT_FALSE(prolog.Parse("<?xml version=\"1.0\"?>\n"));
  ASSERT_TRUE(prolog.AppendElement("root", "v"));
  EXPECT_EQ(prolog.Text(), "<?xml version=\"1.0\"?>\n<root>v</root>\r\n");
  MarkupDocument broken;
  EXPECT_FALSE(broken.Parse("<a><b>"));
  EXPECT_FALSE(broken.AppendElement("c"));
  EXPECT_EQ(broken.Text(), "<a><b>");
  EXPECT_EQ(broken.Error(), "End tag of b element not found");
}

TEST(MarkupInsertTest, RemoveChildTexts) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.Parse("<r>\n<a/>\r\n<b>x<c/></b> text<d/>\n</r>"));
  ASSERT_TRUE(doc.FindNext());
  EXPECT_FALSE(doc.RemoveChild());
  ASSERT_TRUE(doc.FindNextChild("b"));
  ASSERT_TRUE(doc.RemoveChild());
  EXPECT_EQ(doc.Text(), "<r>\n<a/>\r\n text<d/>\n</r>");  // blanks then "<" go along
  EXPECT_EQ(doc.GetChildTagName(), "a");                  // the previous sibling
  ASSERT_TRUE(doc.RemoveChild());
  EXPECT_EQ(doc.GetChildTagName(), "");
  EXPECT_EQ(doc.Text(), "<r>\n\r\n text<d/>\n</r>");  // text follows: only the element goes
  ASSERT_TRUE(doc.FindNextChild());
  ASSERT_TRUE(doc.RemoveChild());
  EXPECT_EQ(doc.Text(), "<r>\n\r\n text</r>");
  ExpectConsistent(doc);
}

// An index file as the store keeps it: entries appended one per message, some removed, the
// table still matching the text after every step.
TEST(MarkupIndexFileTest, AppendRemoveNavigate) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.Parse(kIndexFile));
  ASSERT_TRUE(doc.FindNext("OffMsgIndexData"));
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(doc.AppendChildElement("OffMsgRec"));
    const std::string n = std::to_string(i);
    ASSERT_TRUE(doc.SetChildAttribute("CreateTime", std::to_string(1700000000 + i)));
    ASSERT_TRUE(doc.SetChildAttribute("MsgID", "{" + n + "}"));
    ASSERT_TRUE(doc.SetChildAttribute("Title", "\xD6\xD0\xCE\xC4 <" + n + "> & \"q\""));
    ASSERT_TRUE(doc.SetAttribute("DataSum", std::to_string(i + 1)));
  }
  ExpectConsistent(doc);
  doc.Rewind();
  ASSERT_TRUE(doc.FindNext("OffMsgIndexData"));
  int removed = 0;
  while (doc.FindNextChild("OffMsgRec")) {
    const int id = std::stoi(doc.GetChildAttribute("MsgID").substr(1));
    if (id % 3 == 0) {
      ASSERT_TRUE(doc.RemoveChild());
      ++removed;
    }
  }
  EXPECT_EQ(removed, 34);
  ASSERT_TRUE(doc.SetAttribute("DataSum", std::to_string(100 - removed)));
  ExpectConsistent(doc);
  doc.Rewind();
  ASSERT_TRUE(doc.FindNext("OffMsgIndexData"));
  int seen = 0;
  while (doc.FindNextChild("OffMsgRec")) {
    const int id = std::stoi(doc.GetChildAttribute("MsgID").substr(1));
    EXPECT_NE(id % 3, 0);
    EXPECT_EQ(doc.GetChildAttribute("Title"),
              "\xD6\xD0\xCE\xC4 <" + std::to_string(id) + "> & \"q\"");
    ++seen;
  }
  EXPECT_EQ(seen, 66);
  EXPECT_EQ(doc.GetAttribute("DataSum"), "66");
  EXPECT_EQ(doc.Text().find("\r\n\r\n"), std::string::npos);
  // Freed records are reused: appending after removals must not corrupt the table.
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(doc.AppendChildElement("OffMsgRec", "c"));
  ExpectConsistent(doc);
}

TEST(MarkupFileTest, LoadAndSave) {
  const std::string path = ::testing::TempDir() + "markup_file_test.xml";
  MarkupDocument doc;
  ASSERT_TRUE(doc.Parse(kIndexFile));
  ASSERT_TRUE(doc.SaveFile(path));
  MarkupDocument loaded;
  ASSERT_TRUE(loaded.LoadFile(path));
  EXPECT_EQ(loaded.Text(), kIndexFile);
  EXPECT_TRUE(loaded.FindNext("OffMsgIndexData"));

  std::ofstream(path, std::ios::binary) << "<a><b></a>";
  EXPECT_FALSE(loaded.LoadFile(path));
  EXPECT_EQ(loaded.Text(), "");
  EXPECT_EQ(loaded.Error(), "End tag does not correspond to b");
  EXPECT_FALSE(loaded.FindNext());

  MarkupDocument empty;
  ASSERT_TRUE(empty.SaveFile(path));
  EXPECT_FALSE(loaded.LoadFile(path));
  std::remove(path.c_str());
  EXPECT_FALSE(loaded.LoadFile(path));
  EXPECT_FALSE(empty.SaveFile(::testing::TempDir() + "no/such/dir/x.xml"));
}

}  // namespace
}  // namespace pigeonbox
