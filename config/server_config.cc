#include "config/server_config.h"

#include <initializer_list>

#include "base/text.h"
#include "markup/markup_document.h"

namespace pigeonbox {
namespace {

// Makes the document element (whatever its name) current; false when nothing was loaded.
bool EnterDocument(MarkupDocument* doc) {
  doc->Rewind();
  return doc->FindNext();
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

ServerConfigFile::ServerConfigFile(const std::string& installRoot)
    : load_(LoadConfigDocument(ServerConfigPath(installRoot), &doc_)) {}

std::string ServerConfigFile::DocumentElement() {
  return EnterDocument(&doc_) ? doc_.GetTagName() : std::string();
}

bool ServerConfigFile::ReadServiceGuid(std::u16string_view serviceName, std::u16string* out,
                                       size_t outLen) {
  return EnterDocument(&doc_) && Walk(&doc_, {serviceName}) &&
         CopyAttribute(doc_, "GUID", out, outLen);
}

ServerConfigFile::BasicSettingTexts ServerConfigFile::ReadBasicSettingTexts(
    std::u16string_view section) {
  BasicSettingTexts texts;
  if (!EnterDocument(&doc_) || !Walk(&doc_, {section, u"Basic_Setting"})) return texts;
  texts.found = true;
  std::u16string text;
  if (ChildText(&doc_, "IP", &text)) texts.ip = text;
  if (ChildText(&doc_, "TCPPort", &text)) texts.tcpPort = text;
  if (ChildText(&doc_, "UDPPort", &text)) texts.udpPort = text;
  return texts;
}

bool ServerConfigFile::ReadBasicSetting(std::u16string_view section, std::u16string* ipOut,
                                        size_t ipLen, uint16_t* tcpPortOut, uint16_t* udpPortOut) {
  const BasicSettingTexts texts = ReadBasicSettingTexts(section);
  if (!texts.found) return false;
  if (texts.ip) *ipOut = CutTo(*texts.ip, ipLen);
  if (texts.tcpPort) *tcpPortOut = static_cast<uint16_t>(ParseDecimal(*texts.tcpPort));
  if (texts.udpPort) *udpPortOut = static_cast<uint16_t>(ParseDecimal(*texts.udpPort));
  return texts.ip && (texts.tcpPort || texts.udpPort);
}

bool ServerConfigFile::ReadDbConnString(std::u16string* out, size_t outLen) {
  return EnterDocument(&doc_) && Walk(&doc_, {u"DBServer", u"DB_Setting"}) &&
         CopyAttribute(doc_, "DBConnstring", out, outLen);
}

void ServerConfigFile::LoadConfigItems(std::vector<ConfigElem>* held) {
  if (!EnterDocument(&doc_) || doc_.GetTagName() != "KVTServers" || !Walk(&doc_, {u"Pigeonbox"}))
    return;
  doc_.ResetChild();
  while (doc_.FindNextChild()) {
    // The version text is read as at most 20 bytes, like a number field of the centre's
    // protocol; anything negative wraps as an unsigned value would.
    std::string ver = doc_.GetChildAttribute("Ver").substr(0, 20);
    held->push_back(ConfigElem{FromAnsi(doc_.GetChildTagName()), FromAnsi(doc_.GetChildOuterText()),
                               static_cast<uint32_t>(ParseDecimal(ver))});
  }
}

bool ReadServiceGuid(const std::string& installRoot, std::u16string_view serviceName,
                     std::u16string* out, size_t outLen) {
  return ServerConfigFile(installRoot).ReadServiceGuid(serviceName, out, outLen);
}

bool ReadBasicSetting(const std::string& installRoot, std::u16string_view section,
                      std::u16string* ipOut, size_t ipLen, uint16_t* tcpPortOut,
                      uint16_t* udpPortOut) {
  return ServerConfigFile(installRoot)
      .ReadBasicSetting(section, ipOut, ipLen, tcpPortOut, udpPortOut);
}

bool ReadDbConnString(const std::string& installRoot, std::u16string* out, size_t outLen) {
  return ServerConfigFile(installRoot).ReadDbConnString(out, outLen);
}

void LoadConfigItems(const std::string& installRoot, std::vector<ConfigElem>* held) {
  ServerConfigFile(installRoot).LoadConfigItems(held);
}

}  // namespace pigeonbox
