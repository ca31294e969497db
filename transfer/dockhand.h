// Dockhand: the file-transfer service. Clients connect over TCP, start a session with a ticket
// of the suite's issuer, get a fresh session key, ask for a file below the store root by
// directory and name, and pull it in blocks of 3072 bytes.
//
// Commands (see transfer_frame.h for the frame): 0 session start (ticket and authenticator in,
// result and new session key out, encrypted with the ticket session key), 3 file request (body
// encrypted with the session key both ways; result, size and time tag out), 4 block request
// (index in, encrypted; index, result and the bytes out, plain). Any command but 0 before a
// session is started closes the connection. A sweep closes connections silent for more than
// 60 seconds.
//
// Threads: the callbacks run on CIOLayer's threads with the slot's lock held; each record has
// its own lock, taken inside the slot lock for its state and by the idle sweep, which never
// closes a connection while it holds a record lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/mutex.h"
#include "base/periodic_thread.h"
#include "config/settings.h"
#include "link/contracts/link_services.h"
#include "link/wire/packet_buffer.h"
#include "service/log_file.h"
#include "service/sys_log.h"
#include "store/file_system.h"
#include "transfer/download_file.h"
#include "transfer/file_manager.h"
#include "transfer/io_layer.h"
#include "transfer/transfer_frame.h"

namespace pigeonbox {

// Result codes of the session start.
inline constexpr int kSessionMalformed = -69996;
inline constexpr int kAuthenticatorUnreadable = -69994;
inline constexpr int kAuthenticatorMismatch = -69970;
inline constexpr int kTicketExpiredLate = -69969;
inline constexpr int kTicketRefused = -69968;

// What the service is built with. Pointers are borrowed and must outlive the service.
struct DockhandEnv {
  std::string installRoot;    // ends in "/"; kvtserver.kss and OffMsg/
  TransferSettings settings;  // the listening port (config/settings.h)
  LogFile* log = nullptr;     // the service log
  SysLog* sysLog = nullptr;   // may be null
  // The store's file layer, through which the downloads read; null: the real disk.
  FileSystem* fs = nullptr;
  // The store's owner stripes, under which a download chooses its file; null: stripes of its
  // own (no store in the process).
  StoreLockStripes* stripes = nullptr;
  const Clock* clock = &SystemClock::Instance();
  std::chrono::milliseconds sweepInterval{60000};
  IoLayerOptions io;
};

// The session record of one connection slot.
struct CHdlClient {
  Mutex lock;
  bool active GUARDED_BY(lock) = false;
  bool authenticated GUARDED_BY(lock) = false;
  // 0 session started, 3 file chosen, 4 block read, 255 cleared
  uint8_t state GUARDED_BY(lock) = 255;
  uint32_t userId GUARDED_BY(lock) = 0;
  uint32_t ticketId GUARDED_BY(lock) = 0;
  // Seconds since 1970 of the last frame (or the connect).
  int64_t lastActivity GUARDED_BY(lock) = 0;
  TransferKey sessionKey GUARDED_BY(lock){};
  std::unique_ptr<DownloadFile> download GUARDED_BY(lock);

  // Forgets the session and the file.
  void ClearLocked() REQUIRES(lock);
};

// What a slot's session record holds, read at one moment.
struct SessionSnapshot {
  bool authenticated = false;
  bool hasDownload = false;
  TransferKey sessionKey{};
};

class Dockhand final : public TransferService, public IoOwner {
 public:
  static constexpr int64_t kIdleSeconds = 60;

  explicit Dockhand(DockhandEnv env);
  ~Dockhand() override;
  Dockhand(const Dockhand&) = delete;
  Dockhand& operator=(const Dockhand&) = delete;

  // Loads the service key, listens on the settings' port and starts the idle sweep. 1 when started,
  // 0 after a logged failure (also when already started).
  int Start() override;
  // Wakes and joins the sweep, closes every connection and ends the connection layer's threads.
  void Stop() override;

  // The port listened on, after a successful Start.
  uint16_t port() const { return ioLayer_ ? ioLayer_->port() : 0; }
  // One pass of the idle sweep (the sweep thread runs it every interval).
  void SweepIdle();

  // The connection layer's callbacks; public so the fuzz target can feed frames without sockets.
  void OnConnect(int index) override;
  void OnPacket(int index, const uint8_t* frame, int length) override;
  void OnClose(int index) override;
  // The session record of a slot, for the fuzz target (it needs the session key).
  SessionSnapshot session(int index) const;

 private:
  int FailStart();
  FileSystem& FileLayer();

  void StartSession(int index, CHdlClient& record, PacketBuffer& frame);
  void RequestFile(int index, CHdlClient& record, PacketBuffer& frame);
  void RequestBlock(int index, CHdlClient& record, PacketBuffer& frame);
  // Chooses the file for the connection; *size and *fileTime are those of the chosen version.
  int OpenDownload(CHdlClient& record, const std::u16string& dir, const std::u16string& name,
                   uint32_t* size, uint64_t* fileTime);
  void Reply(int index, PacketBuffer& frame, const TransferKey* key);
  void ReplyCode(int index, PacketBuffer& frame, uint16_t command, int32_t code,
                 const TransferKey* key);

  const DockhandEnv env_;
  LogFile& log_;
  const std::unique_ptr<StoreLockStripes> ownStripes_;  // null when env_.stripes is given
  std::unique_ptr<CHdlClient[]> sessions_;
  std::unique_ptr<CIOLayer> ioLayer_;
  std::unique_ptr<CFileManager> fileManager_;
  TransferKey serviceKey_{};
  PeriodicThread sweep_;
};

}  // namespace pigeonbox
