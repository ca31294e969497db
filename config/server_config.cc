#include "config/server_config.h"

#include <initializer_list>

#include "base/text.h"
#include "markup/markup_document.h"

namespace pigeonbox {
namespace {

// Loads the configuration file and makes its document element (whatever its name) current.
bool LoadConfig(const std::string& installRoot, MarkupDocument* doc) {
  return doc->LoadFile(ServerConfigPath(installRoot)) && doc->FindNext();
}

// Steps from the current element down the given child names; true when every step found its
// element, which is then current.
bool Walk(MarkupDocument* doc, std::initializer_list<std::u16string_view> path) {
  for (std::u16string_view name : path) {
    doc->ResetChild();
    if (!doc->FindNextChild(ToAnsi(name)) || !doc->Descend()) return false;
  }
  return true;
}

// Content of the current element's first child named `name`. Each value is looked for among all
// children, so the order of IP, TCPPort and UDPPort in the file does not matter.
bool ChildText(MarkupDocument* doc, std::string_view name, std::u16string* out) {
  doc->ResetChild();
  if (!doc->FindNextChild(name)) return false;
  *out = FromAnsi(doc->GetChildContent());
  return true;
}

std::u16string CutTo(std::u16string text, size_t outLen) {
  size_t keep = outLen > 0 ? outLen - 1 : 0;
  if (text.size() > keep) text.resize(keep);
  return text;
}

// Copies a present, non-empty attribute value of the current element.
bool CopyAttribute(const MarkupDocument& doc, std::string_view name, std::u16string* out,
                   size_t outLen) {
  std::string value = doc.GetAttribute(name);
  if (value.empty()) return false;
  *out = CutTo(FromAnsi(value), outLen);
  return true;
}

}  // namespace

std::string ServerConfigPath(const std::string& installRoot) {
  return installRoot + "Config/KVTServer.xml";
}

bool ReadServiceGuid(const std::string& installRoot, std::u16string_view serviceName,
                     std::u16string* out, size_t outLen) {
  MarkupDocument doc;
  return LoadConfig(installRoot, &doc) && Walk(&doc, {serviceName}) &&
         CopyAttribute(doc, "GUID", out, outLen);
}

bool ReadBasicSetting(const std::string& installRoot, std::u16string_view section,
                      std::u16string* ipOut, size_t ipLen, uint16_t* tcpPortOut,
                      uint16_t* udpPortOut) {
  MarkupDocument doc;
  if (!LoadConfig(installRoot, &doc) || !Walk(&doc, {section, u"Basic_Setting"})) return false;
  std::u16string text;
  bool ipFound = ChildText(&doc, "IP", &text);
  if (ipFound) *ipOut = CutTo(text, ipLen);
  bool portFound = false;
  if (ChildText(&doc, "TCPPort", &text)) {
    *tcpPortOut = static_cast<uint16_t>(ParseDecimal(text));
    portFound = true;
  }
  if (ChildText(&doc, "UDPPort", &text)) {
    *udpPortOut = static_cast<uint16_t>(ParseDecimal(text));
    portFound = true;
  }
  return ipFound && portFound;
}

bool ReadDbConnString(const std::string& installRoot, std::u16string* out, size_t outLen) {
  MarkupDocument doc;
  return LoadConfig(installRoot, &doc) && Walk(&doc, {u"DBServer", u"DB_Setting"}) &&
         CopyAttribute(doc, "DBConnstring", out, outLen);
}

void LoadConfigItems(const std::string& installRoot, std::vector<ConfigElem>* held) {
  MarkupDocument doc;
  if (!LoadConfig(installRoot, &doc) || doc.GetTagName() != "KVTServers" ||
      !Walk(&doc, {u"Pigeonbox"}))
    return;
  doc.ResetChild();
  while (doc.FindNextChild()) {
    // The version text is read as at most 20 bytes, like a number field of the centre's
    // protocol; anything negative wraps as an unsigned value would.
    std::string ver = doc.GetChildAttribute("Ver").substr(0, 20);
    held->push_back(ConfigElem{FromAnsi(doc.GetChildTagName()), FromAnsi(doc.GetChildOuterText()),
                               static_cast<uint32_t>(ParseDecimal(ver))});
  }
}

}  // namespace pigeonbox
