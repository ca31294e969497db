// Readers of the suite's shared server configuration file, <root>Config/KVTServer.xml.
//
// Every reader loads the file on its own (values are read once at start) and only reads; the
// file is never written. Texts in the file are in the system code page and are returned as
// UTF-16. A reader that cannot find its value returns false and leaves its outputs untouched
// (ReadBasicSetting excepted, see there); the caller applies its default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox {

std::string ServerConfigPath(const std::string& installRoot);

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

// One configuration item of this service as the configuration centre knows it.
struct ConfigElem {
  std::u16string name;     // element name, e.g. "Basic_Setting"
  std::u16string content;  // the element's whole XML text, start and end tags included
  uint32_t version = 0;    // its Ver attribute; 0 when missing
};

// Appends one item per child element of KVTServers/Pigeonbox to `held`. A missing or unreadable
// file, or a missing section, appends nothing and reports nothing.
void LoadConfigItems(const std::string& installRoot, std::vector<ConfigElem>* held);

}  // namespace pigeonbox
