// Markup document against libexpat on an index file of 100 entries (about 30 KB): the work the
// index store does per request (parse, find every entry and read one attribute, append one
// entry with ten attributes, take the text) beside expat merely parsing the same document.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <string>

#include "base/text.h"
#include "markup/markup_document.h"

namespace pigeonbox {
namespace {

std::string IndexFile(int entries) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<OffMsgIndexData DataSum=\"100\">\n";
  for (int i = 0; i < entries; ++i) {
    const std::string n = std::to_string(i);
    const bool chinese = i % 4 == 0;
    text += "<OffMsgRec CreateTime=\"" + std::to_string(1733400000 + i * 37) + "\" Addr=\"" +
            std::to_string(i * 611) + "\" Len=\"611\" Type=\"Quorvel.KVT.IM\" SrcIdentifier=\"" +
            "{7C3E9A52-1B4D-4E8F-9A61-0D2B" + std::to_string(100000 + i) + "}\" Sender=\"" +
            (chinese ? "\xD5\xC5\xC8\xFD" : "zhang.san") + "\" Recievers=\";li.si;wang.wu\" " +
            "Title=\"" +
            (chinese ? "\xBB\xE1\xD2\xE9\xCD\xA8\xD6\xAA &amp; \xC8\xD5\xB3\xCC"
                     : "Weekly report &lt;draft&gt; #" + n) +
            "\" MsgID=\"{B2F6D0A4-5C1E-4A3B-8D7F-" + std::to_string(100000000000 + i) +
            "}\" SessionDesc=\"" + (i % 3 ? "" : "project-" + n) + "\"/>\r\n";
  }
  return text + "</OffMsgIndexData>";
}

const std::string& Document() {
  static const std::string text = IndexFile(100);
  return text;
}

void BM_MarkupIndexRequest(benchmark::State& state) {
  const std::string& text = Document();
  static const char* kAttributes[] = {"CreateTime", "Addr",      "Len",   "Type",  "SrcIdentifier",
                                      "Sender",     "Recievers", "Title", "MsgID", "SessionDesc"};
  int64_t found = 0;
  for (auto _ : state) {
    MarkupDocument doc;
    doc.Parse(text);
    doc.FindNext("OffMsgIndexData");
    while (doc.FindNextChild("OffMsgRec")) found += !doc.GetChildAttribute("MsgID").empty();
    doc.AppendChildElement("OffMsgRec");
    for (const char* name : kAttributes) doc.SetChildAttribute(name, "\xD0\xC2 value <1>");
    doc.SetAttribute("DataSum", "101");
    benchmark::DoNotOptimize(doc.Text().data());
  }
  if (found != state.iterations() * 100) state.SkipWithError("wrong MsgID values");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_MarkupIndexRequest);

void BM_MarkupParseOnly(benchmark::State& state) {
  const std::string& text = Document();
  MarkupDocument doc;
  for (auto _ : state) {
    if (!doc.Parse(text)) state.SkipWithError("parse failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_MarkupParseOnly);

// Expat gets the document as UTF-8 with a declaration that says so (it does not read GB2312).
void BM_ExpatParse(benchmark::State& state) {
  std::string text = ToUtf8(FromAnsi(Document()));
  text.replace(text.find("GB2312"), 6, "UTF-8");
  int64_t found = 0;
  auto onStart = [](void* data, const XML_Char*, const XML_Char** atts) {
    for (; *atts; atts += 2) {
      if (std::string_view(atts[0]) == "MsgID") *static_cast<int64_t*>(data) += *atts[1] != 0;
    }
  };
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &found);
    XML_SetStartElementHandler(parser, onStart);
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK) {
      state.SkipWithError(XML_ErrorString(XML_GetErrorCode(parser)));
    }
    XML_ParserFree(parser);
  }
  if (found != state.iterations() * 100) state.SkipWithError("wrong MsgID values");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ExpatParse);

}  // namespace
}  // namespace pigeonbox

BENCHMARK_MAIN();
