// Messages of the configuration-centre protocol (docs/config-centre-protocol.md).
//
// The framing is the application-server protocol's: a little-endian u32 body length, then the
// body, one operation byte and its fields (appserver_wire.h). Every operation has one message
// shape; Decode checks a body against it and Encode builds the frame back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox {

// The configuration elements the centre and its clients exchange. Texts are UTF-16.
namespace ccapi {

// Names an item of the caller's own service type.
struct ConfigReqElem {
  std::u16string name;
  bool operator==(const ConfigReqElem&) const = default;
};

// Names an item of another service: first key, second key.
struct OthCfgReqElem {
  std::u16string key1, key2;
  bool operator==(const OthCfgReqElem&) const = default;
};

// An item of the caller's own service type as the centre announces or delivers it.
struct ConfigElem {
  std::u16string name;
  std::u16string content;
  uint32_t version = 0;
  bool operator==(const ConfigElem&) const = default;
};

// An item of another service: three keys, its value text and its version.
struct OthCfgElem {
  std::u16string key1, key2, key3;
  std::u16string value;
  uint32_t version = 0;
  bool operator==(const OthCfgElem&) const = default;
};

}  // namespace ccapi

namespace ccwire {

enum class Op : uint8_t {
  // Sent by services.
  kRegServer = 0x01,      // service type, GUID (may be empty) -> kRegAnswer
  kHello = 0x02,          // wanted items -> kConfigNotify
  kGetConfig = 0x03,      // wanted items -> kConfigData
  kReportSysLog = 0x04,   // level, service type, category, event id, text (no answer)
  kReportErrInfo = 0x05,  // code, text (no answer)
  // Sent by the centre.
  kRegAnswer = 0x81,     // the service's GUID
  kError = 0x82,         // a result code
  kConfigNotify = 0x83,  // items with their current versions
  kConfigData = 0x84,    // the items asked for
};

// One message body, decoded. Only the fields of its operation are meaningful; the others stay
// empty.
struct Message {
  Op op = Op::kRegServer;
  std::u16string serviceType;                     // kRegServer, kReportSysLog
  std::u16string guid;                            // kRegServer, kRegAnswer
  int32_t code = 0;                               // kError, kReportErrInfo
  uint32_t level = 0;                             // kReportSysLog
  uint32_t eventId = 0;                           // kReportSysLog
  std::u16string category;                        // kReportSysLog
  std::u16string text;                            // kReportSysLog, kReportErrInfo
  std::vector<ccapi::ConfigReqElem> wanted;       // kHello, kGetConfig
  std::vector<ccapi::OthCfgReqElem> wantedOther;  // kHello, kGetConfig
  std::vector<ccapi::ConfigElem> items;           // kConfigNotify, kConfigData
  std::vector<ccapi::OthCfgElem> otherItems;      // kConfigNotify, kConfigData
};

// The frame of `message` (length prefix included).
std::string Encode(const Message& message);

// Decodes one frame body. False when the operation is unknown, a field is cut short, a list
// count is negative, a text has an odd byte count, or bytes follow the last field.
bool Decode(std::string_view body, Message* message);

}  // namespace ccwire
}  // namespace pigeonbox
