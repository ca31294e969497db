// Fuzzes the file-transfer service with the bytes a peer sends: they are cut into receives,
// reassembled into frames and handed to the service as the connection layer would, from a peer
// that has not started a session, from one that has, and from one that has also chosen a file
// and whose frame bodies the harness encrypts with the session key (so the fuzzer reaches the
// file and block requests). Nothing may crash or read out of bounds.
//
// Input: byte 0 picks the peer (its value modulo 3), byte 1 the receive size (1 to 256 bytes);
// the rest is the peer's byte stream.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "service/log_file.h"
#include "transfer/dockhand.h"
#include "transfer/frame_assembler.h"
#include "transfer/ticket.h"
#include "transfer/transfer_frame.h"

namespace {

using namespace pigeonbox;

constexpr int kSlot = 1;

struct Harness {
  Harness() {
    char pattern[] = "/tmp/frame-fuzz-XXXXXX";
    root = std::string(mkdtemp(pattern)) + "/";
    std::filesystem::create_directories(root + "OffMsg/d/disgroup");
    std::ofstream(root + "OffMsg/d/disgroup/f.txt") << std::string(5000, 'f');
    log.Open(root + "Logs", "Pigeonbox.log");
    DockhandEnv env;
    env.installRoot = root;
    // Any free port: the harness never connects, but the service listens while it runs.
    env.settings.port = 0;
    env.log = &log;
    env.io.slotCount = 4;
    env.io.workerCount = 1;
    service = std::make_unique<Dockhand>(env);
    if (service->Start() != 1) abort();
    serviceKey = LoadServiceKey(root);
    static std::string removeAtExit = root;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(removeAtExit, ignored);
    });
  }

  void Deliver(PacketBuffer& frame) {
    const int length = SealFrame(frame);
    service->OnPacket(kSlot, frame.data, length);
  }

  void StartSession() {
    Ticket ticket{1, 2, 3600, 0, NewSessionKey()};
    const std::vector<uint8_t> sealed = SealTicket(ticket, serviceKey);
    const std::vector<uint8_t> auth = MakeAuthenticator(ticket.sessionKey, 1, 2, 0);
    PacketBuffer frame;
    BeginFrame(frame, kSessionStartCommand);
    frame.PutU16(static_cast<uint16_t>(sealed.size()));
    frame.PutBytes(sealed.data(), sealed.size());
    frame.PutU16(static_cast<uint16_t>(auth.size()));
    frame.PutBytes(auth.data(), auth.size());
    Deliver(frame);
    if (!service->session(kSlot).authenticated) abort();
  }

  void ChooseFile() {
    PacketBuffer frame;
    BeginFrame(frame, kFileRequestCommand);
    frame.PutText(u"d_disgroup");
    frame.PutText(u"f.txt");
    EncryptBody(frame, service->session(kSlot).sessionKey);
    Deliver(frame);
    if (!service->session(kSlot).hasDownload) abort();
  }

  // A reassembled frame; with `encrypt`, its body is first encrypted with the session key.
  void OnFrame(const uint8_t* bytes, int length, bool encrypt) {
    if (!encrypt || length < kMinRequestFrame) {
      service->OnPacket(kSlot, bytes, length);
      return;
    }
    PacketBuffer frame;
    frame.Load(bytes, length);
    frame.end = static_cast<uint32_t>(length - 1);
    EncryptBody(frame, service->session(kSlot).sessionKey);
    Deliver(frame);
  }

  std::string root;
  LogFile log;
  std::unique_ptr<Dockhand> service;
  TransferKey serviceKey{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness();
  if (size < 2) return 0;
  const int peer = data[0] % 3;
  const size_t chunk = 1 + data[1];
  data += 2;
  size -= 2;
  Dockhand& service = *harness->service;
  service.OnConnect(kSlot);
  if (peer >= 1) harness->StartSession();
  if (peer == 2) harness->ChooseFile();
  FrameAssembler assembler;
  for (size_t pos = 0; pos < size; pos += chunk) {
    const size_t n = std::min(chunk, size - pos);
    const bool fine = assembler.Feed(data + pos, n, [&](const uint8_t* frame, int length) {
      harness->OnFrame(frame, length, peer == 2);
      return true;
    });
    if (!fine) break;  // the connection layer drops the peer
  }
  service.OnClose(kSlot);
  return 0;
}
