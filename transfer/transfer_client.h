// A blocking client of the file-transfer service: what pigeonbox-cli, the tests and the
// benchmark use to start a session, ask for a file and pull its blocks. One thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/wire/packet_buffer.h"
#include "transfer/ticket.h"
#include "transfer/transfer_frame.h"

namespace pigeonbox {

class TransferClient {
 public:
  // How long a reply is waited for.
  static constexpr int kReplyTimeoutMs = 10000;

  TransferClient() = default;
  ~TransferClient();
  TransferClient(const TransferClient&) = delete;
  TransferClient& operator=(const TransferClient&) = delete;

  // Connects to host:port (a numeric IPv4 address or a name); false with *error set on failure.
  bool Connect(const std::string& host, uint16_t port, std::string* error);
  void Close();
  int fd() const { return fd_; }

  // Command 0. The server's result code; 0 keeps the new session key. nullopt: no readable reply.
  std::optional<int32_t> StartSession(const std::vector<uint8_t>& ticket,
                                      const std::vector<uint8_t>& authenticator,
                                      const TransferKey& ticketKey);

  struct FileInfo {
    int32_t result = 0;
    uint32_t size = 0;
    std::u16string timeTag;
  };
  // Command 3. nullopt: no readable reply.
  std::optional<FileInfo> RequestFile(std::u16string_view dir, std::u16string_view name);

  struct Block {
    uint32_t index = 0;
    int32_t result = 0;
    std::vector<uint8_t> bytes;
  };
  // Command 4. nullopt: no readable reply.
  std::optional<Block> RequestBlock(uint32_t index);

  // Requests every block of a file of `size` bytes in turn into *content. 0, the first non-zero
  // block result, or 1 when a reply is missing, cut or does not add up to `size`.
  int ReadWholeFile(uint32_t size, std::vector<uint8_t>* content);

  // Sends a sealed frame as it is; false when the connection failed.
  bool SendFrame(PacketBuffer& frame);
  bool SendBytes(const void* bytes, size_t count);
  // Waits up to `timeoutMs` for one whole frame; false on a timeout, a close or a bad length.
  bool ReceiveFrame(PacketBuffer* frame, int timeoutMs = kReplyTimeoutMs);

  const TransferKey& session_key() const { return sessionKey_; }

 private:
  std::optional<PacketBuffer> Exchange(PacketBuffer& request);
  bool ReceiveExactly(uint8_t* out, size_t count, int timeoutMs);

  int fd_ = -1;
  TransferKey sessionKey_{};
};

}  // namespace pigeonbox
