// Readers of the suite's shared server configuration file, <root>Config/KVTServer.xml.
//
// The server reads the file once at start, through ServerConfigFile (see settings.h); the free
// readers load it on each call, for the tools. The file is never written. Texts in the file are
// in the system code page and are returned as UTF-16. A reader that cannot find its value returns
// false and leaves its outputs untouched (ReadBasicSetting excepted, see there); the caller applies
// its default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "markup/markup_document.h"

namespace pigeonbox {

std::string ServerConfigPath(const std::string& installRoot);

// One configuration item of this service as the configuration centre knows it.
struct ConfigElem {
  std::u16string name;     // element name, e.g. "Basic_Setting"
  std::u16string content;  // the element's whole XML text, start and end tags included
  uint32_t version = 0;    // its Ver attribute; 0 when missing
};

// The file loaded once; the readers below (and the free functions, which load it each time)
// take their values from it.
class ServerConfigFile {
 public:
  explicit ServerConfigFile(const std::string& installRoot);

  const ConfigLoad& load() const { return load_; }
  // Name of the document element; empty when the file did not load.
  std::string DocumentElement();

  // The texts of a section's Basic_Setting as written; `found` is false when the section or its
  // Basic_Setting is missing.
  struct BasicSettingTexts {
    bool found = false;
    std::optional<std::u16string> ip, tcpPort, udpPort;
  };
  BasicSettingTexts ReadBasicSettingTexts(std::u16string_view section);

  bool ReadServiceGuid(std::u16string_view serviceName, std::u16string* out, size_t outLen);
  bool ReadBasicSetting(std::u16string_view section, std::u16string* ipOut, size_t ipLen,
                        uint16_t* tcpPortOut, uint16_t* udpPortOut);
  bool ReadDbConnString(std::u16string* out, size_t outLen);
  void LoadConfigItems(std::vector<ConfigElem>* held);

 private:
  MarkupDocument doc_;
  ConfigLoad load_;
};

// The GUID attribute of the document element's child `serviceName` (e.g. "Pigeonbox"). Present
// and not empty: at most outLen - 1 characters are copied and the result is true.
bool ReadServiceGuid(const std::string& installRoot, std::u16string_view serviceName,
                     std::u16string* out, size_t outLen);

// The address of a section (`ConfigCenter`, `APPServer`, `Pigeonbox`) from its Basic_Setting:
// the IP text (at most ipLen - 1 characters) and the TCPPort and UDPPort texts read by the
// decimal rule and truncated to 16 bits. Each port that is present is written even when the
// result is false; a missing one leaves its output unchanged. True only when the IP and at least
// one port were found. False without writing anything when the section or its Basic_Setting is
// missing.
bool ReadBasicSetting(const std::string& installRoot, std::u16string_view section,
                      std::u16string* ipOut, size_t ipLen, uint16_t* tcpPortOut,
                      uint16_t* udpPortOut);

// The ODBC connection string of the user database (DBServer/DB_Setting, attribute DBConnstring).
// Present and not empty: at most outLen - 1 characters are copied and the result is true.
bool ReadDbConnString(const std::string& installRoot, std::u16string* out, size_t outLen);

// Appends one item per child element of KVTServers/Pigeonbox to `held`. A missing or unreadable
// file, or a missing section, appends nothing and reports nothing.
void LoadConfigItems(const std::string& installRoot, std::vector<ConfigElem>* held);

}  // namespace pigeonbox
