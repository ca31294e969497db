// The pieces the application-server link starts and the interfaces through which they reach it.
//
// The link owns the offline-message service, the configuration-centre client and the
// file-transfer service; a LinkServiceFactory creates them, so the link can be built and tested
// before (or without) the real ones. The pieces call back through LinkOwner (replies and the
// registered types) and ConfigChangeListener (configuration notices).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "link/wire/packet_buffer.h"
#include "service/sys_log.h"

namespace pigeonbox {

// What the offline-message service asks of its owner. Called on the delivery threads.
class LinkOwner {
 public:
  virtual ~LinkOwner() = default;
  // True when `type` is one of the registered request types, letter case ignored.
  virtual bool IsRequestType(std::u16string_view type) const = 0;
  // Sends a text (or bytes) to the application server along the routing texts r1 to r4.
  // 0 = sent; otherwise the library's result.
  virtual int32_t SendTextReply(std::u16string_view r1, std::u16string_view r2,
                                std::u16string_view r3, std::u16string_view r4,
                                std::u16string_view text) = 0;
  virtual int32_t SendDataReply(std::u16string_view r1, std::u16string_view r2,
                                std::u16string_view r3, std::u16string_view r4, const void* data,
                                uint32_t length) = 0;
};

// The offline-message service as the link drives it.
class MessageService {
 public:
  virtual ~MessageService() = default;
  // 1 = started.
  virtual int Start() = 0;
  virtual void Stop() = 0;
  // One delivered message: `packet` holds the routing texts, the value and the data text (see
  // message_packet.h); `receivers` is the receiver list, names separated by ";". May run on
  // several delivery threads at once. The result is not used by the link.
  virtual int HandleMessage(PacketBuffer& packet, std::u16string_view receivers) = 0;
};

// The file-transfer service.
class TransferService {
 public:
  virtual ~TransferService() = default;
  // 1 = started.
  virtual int Start() = 0;
  virtual void Stop() = 0;
};

// Notices of the configuration-centre client to its owner (the link).
class ConfigChangeListener {
 public:
  virtual ~ConfigChangeListener() = default;
  virtual void OnConfigChanged(std::u16string_view itemName, std::u16string_view content) = 0;
  virtual void OnOtherConfigChanged() = 0;
};

// The configuration-centre client. It is never stopped by the link; it ends with the link object,
// and its destruction sends what is still queued (bounded) before it closes the connection.
class ConfigCentreClient {
 public:
  virtual ~ConfigCentreClient() = default;
  // Connects, registers the service and starts the client's threads. False when connecting
  // failed (the client may still reconnect later).
  virtual bool Start() = 0;
  // Where system-log events go while the client exists; nullptr for none.
  virtual SysLogSink* sys_log_sink() = 0;
  // Waits until what is queued has been sent, at most `limit`; for exits that run no
  // destructors. False when something was left unsent.
  virtual bool Flush(std::chrono::milliseconds limit) = 0;
};

// Creates the pieces; a null result means the piece cannot be created. The references passed in
// outlive the created objects.
class LinkServiceFactory {
 public:
  virtual ~LinkServiceFactory() = default;
  virtual std::unique_ptr<MessageService> CreateMessageService(LinkOwner& owner) = 0;
  virtual std::unique_ptr<ConfigCentreClient> CreateConfigCentre(
      ConfigChangeListener& listener) = 0;
  virtual std::unique_ptr<TransferService> CreateTransferService() = 0;
};

}  // namespace pigeonbox
