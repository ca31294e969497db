#include "transfer/transfer_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transfer/download_file.h"

namespace pigeonbox {

TransferClient::~TransferClient() {
  Close();
}

bool TransferClient::Connect(const std::string& host, uint16_t port, std::string* error) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return false;
  }
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = fd_ >= 0 && connect(fd_, found->ai_addr, found->ai_addrlen) == 0;
  const int err = errno;
  freeaddrinfo(found);
  if (!connected) {
    *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + strerror(err);
    Close();
    return false;
  }
  int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

void TransferClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool TransferClient::SendBytes(const void* bytes, size_t count) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (count > 0) {
    const ssize_t n = send(fd_, p, count, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool TransferClient::SendFrame(PacketBuffer& frame) {
  const int length = SealFrame(frame);
  return SendBytes(frame.data, length);
}

bool TransferClient::ReceiveExactly(uint8_t* out, size_t count, int timeoutMs) {
  while (count > 0) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = recv(fd_, out, count, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool TransferClient::ReceiveFrame(PacketBuffer* frame, int timeoutMs) {
  uint8_t bytes[PacketBuffer::kCapacity];
  if (!ReceiveExactly(bytes, 3, timeoutMs)) return false;
  const int length = bytes[1] << 8 | bytes[2];
  if (length < kMinRequestFrame || length > static_cast<int>(PacketBuffer::kCapacity)) {
    return false;
  }
  return ReceiveExactly(bytes + 3, length - 3, timeoutMs) && LoadFrame(*frame, bytes, length);
}

std::optional<PacketBuffer> TransferClient::Exchange(PacketBuffer& request) {
  const uint16_t command = FrameCommand(request);
  PacketBuffer reply;
  if (!SendFrame(request) || !ReceiveFrame(&reply) || FrameCommand(reply) != command) {
    return std::nullopt;
  }
  return reply;
}

std::optional<int32_t> TransferClient::StartSession(const std::vector<uint8_t>& ticket,
                                                    const std::vector<uint8_t>& authenticator,
                                                    const TransferKey& ticketKey) {
  PacketBuffer request;
  BeginFrame(request, kSessionStartCommand);
  if (!request.PutU16(static_cast<uint16_t>(ticket.size())) ||
      !request.PutBytes(ticket.data(), ticket.size()) ||
      !request.PutU16(static_cast<uint16_t>(authenticator.size())) ||
      !request.PutBytes(authenticator.data(), authenticator.size())) {
    return std::nullopt;
  }
  std::optional<PacketBuffer> reply = Exchange(request);
  if (!reply) return std::nullopt;
  uint32_t result = 0;
  // A success is encrypted with the ticket session key; a refusal is a plain code.
  if (reply->end - reply->position == 4) {
    if (!reply->GetU32(&result)) return std::nullopt;
    return static_cast<int32_t>(result);
  }
  if (!DecryptBody(*reply, ticketKey) || !reply->GetU32(&result) ||
      !reply->GetBytes(sessionKey_.data(), sessionKey_.size())) {
    return std::nullopt;
  }
  return static_cast<int32_t>(result);
}

std::optional<TransferClient::FileInfo> TransferClient::RequestFile(std::u16string_view dir,
                                                                    std::u16string_view name) {
  PacketBuffer request;
  BeginFrame(request, kFileRequestCommand);
  if (!request.PutText(dir) || !request.PutText(name) || !EncryptBody(request, sessionKey_)) {
    return std::nullopt;
  }
  std::optional<PacketBuffer> reply = Exchange(request);
  FileInfo info;
  uint32_t result = 0;
  if (!reply || !DecryptBody(*reply, sessionKey_) || !reply->GetU32(&result)) return std::nullopt;
  info.result = static_cast<int32_t>(result);
  if (info.result == 0 && (!reply->GetU32(&info.size) || !reply->GetText(&info.timeTag))) {
    return std::nullopt;
  }
  return info;
}

std::optional<TransferClient::Block> TransferClient::RequestBlock(uint32_t index) {
  PacketBuffer request;
  BeginFrame(request, kBlockRequestCommand);
  request.PutU32(index);
  if (!EncryptBody(request, sessionKey_)) return std::nullopt;
  std::optional<PacketBuffer> reply = Exchange(request);
  Block block;
  uint32_t result = 0;
  if (!reply || !reply->GetU32(&block.index) || !reply->GetU32(&result)) return std::nullopt;
  block.result = static_cast<int32_t>(result);
  if (block.result == 0) {
    uint16_t count = 0;
    const uint8_t* bytes = nullptr;
    if (!reply->GetU16(&count) || !reply->ReadBytes(count, &bytes)) return std::nullopt;
    block.bytes.assign(bytes, bytes + count);
  }
  return block;
}

int TransferClient::ReadWholeFile(uint32_t size, std::vector<uint8_t>* content) {
  content->clear();
  const uint32_t blocks = (size + kBlockBytes - 1) / kBlockBytes;
  for (uint32_t i = 0; i < blocks; ++i) {
    std::optional<Block> block = RequestBlock(i);
    if (!block || block->index != i) return 1;
    if (block->result != 0) return block->result;
    content->insert(content->end(), block->bytes.begin(), block->bytes.end());
    if (block->bytes.size() != kBlockBytes) break;
  }
  return content->size() == size ? 0 : 1;
}

}  // namespace pigeonbox
