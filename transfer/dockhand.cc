#include "transfer/dockhand.h"

#include <utility>
#include <vector>

#include "base/text.h"
#include "metrics/server_metrics.h"
#include "suite/crypt.h"
#include "transfer/request_path.h"
#include "transfer/ticket.h"

namespace pigeonbox {

void CHdlClient::ClearLocked() {
  if (!active) return;
  active = false;
  download.reset();
  sessionKey.fill(0);
  userId = 0;
  ticketId = 0;
  authenticated = false;
  state = 255;
  lastActivity = 0;
}

Dockhand::Dockhand(DockhandEnv env)
    : env_(std::move(env)),
      log_(*env_.log),
      ownStripes_(env_.stripes ? nullptr : std::make_unique<StoreLockStripes>()),
      sessions_(new CHdlClient[env_.io.slotCount]) {}

Dockhand::~Dockhand() {
  Stop();
}

int Dockhand::Start() {
  const uint16_t port = env_.settings.port;
  log_.Log(u"Dockhand 开始启动");
  try {
    if (ioLayer_) return FailStart();
    // Everything a connection may use exists before the first one is accepted.
    serviceKey_ = LoadServiceKey(env_.installRoot);
    if (serviceKey_ == TransferKey{}) {
      log_.Log(u"cannot read or create the service key file %s: every ticket is refused",
               FromUtf8(ServiceKeyPath(env_.installRoot)));
    }
    fileManager_ = std::make_unique<CFileManager>(log_, env_.installRoot, FileLayer(),
                                                  env_.stripes ? *env_.stripes : *ownStripes_);
    if (fileManager_->Start() != 1) {
      log_.Log(u"m_pFileManager->Start failed");
      return FailStart();
    }
    ioLayer_ = std::make_unique<CIOLayer>(*this, log_, env_.sysLog, env_.io);
    if (ioLayer_->Start(0, port) != 1) {
      log_.Log(u"m_pCIOLayer->Start failed");
      ioLayer_.reset();
      return FailStart();
    }
    sweep_.Start(
        env_.sweepInterval, [this] { SweepIdle(); },
        [this] { log_.Log(u"Dockhand 空闲连接检查线程异常"); });
    log_.Log(u"Dockhand 启动成功");
  } catch (...) {
    log_.Log(u"Dockhand 启动过程出现异常");
    return FailStart();
  }
  if (env_.sysLog != nullptr) env_.sysLog->Report(2, u"service", 1600, u"Dockhand 服务启动成功");
  return 1;
}

FileSystem& Dockhand::FileLayer() {
  static PosixFileSystem disk;  // one may serve the whole process
  return env_.fs != nullptr ? *env_.fs : disk;
}

int Dockhand::FailStart() {
  if (env_.sysLog != nullptr) env_.sysLog->Report(0, u"service", 1000, u"Dockhand 服务启动失败");
  return 0;
}

void Dockhand::Stop() {
  if (!ioLayer_ && !fileManager_) return;
  sweep_.Stop();
  if (ioLayer_) ioLayer_->Stop();
  ioLayer_.reset();
  // The downloads refer to the file manager, so they go first.
  for (int i = 0; i < env_.io.slotCount; ++i) {
    MutexLock lock(sessions_[i].lock);
    sessions_[i].ClearLocked();
  }
  fileManager_.reset();
  if (env_.sysLog != nullptr) env_.sysLog->Report(2, u"service", 1601, u"Dockhand 服务停止");
}

SessionSnapshot Dockhand::session(int index) const {
  CHdlClient& record = sessions_[index];
  MutexLock lock(record.lock);
  return {record.authenticated, record.download != nullptr, record.sessionKey};
}

void Dockhand::SweepIdle() {
  if (!ioLayer_) return;
  const int64_t now = env_.clock->Now();
  auto idle = [this, now](int index) {
    CHdlClient& record = sessions_[index];
    MutexLock lock(record.lock);
    return record.active && now - record.lastActivity > kIdleSeconds;
  };
  std::vector<int> toClose;
  for (int i = 0; i < env_.io.slotCount; ++i) {
    if (idle(i)) toClose.push_back(i);
  }
  // Checked again under the slot's lock: the connection noted may have gone and a new one taken
  // its slot since.
  for (int index : toClose) {
    ioLayer_->CloseConnectionIf(index, [&idle, index] { return idle(index); });
  }
}

void Dockhand::OnConnect(int index) {
  CHdlClient& record = sessions_[index];
  MutexLock lock(record.lock);
  record.ClearLocked();
  record.active = true;
  record.lastActivity = env_.clock->Now();
}

void Dockhand::OnClose(int index) {
  CHdlClient& record = sessions_[index];
  MutexLock lock(record.lock);
  record.ClearLocked();
}

void Dockhand::OnPacket(int index, const uint8_t* bytes, int length) {
  PacketBuffer frame;
  if (!LoadFrame(frame, bytes, length)) return;
  CHdlClient& record = sessions_[index];
  bool authenticated;
  {
    MutexLock lock(record.lock);
    record.lastActivity = env_.clock->Now();
    authenticated = record.authenticated;
  }
  const uint16_t command = FrameCommand(frame);
  if (command != kSessionStartCommand && !authenticated) {
    ioLayer_->CloseConnection(index);
    return;
  }
  switch (command) {
    case kSessionStartCommand:
      StartSession(index, record, frame);
      break;
    case kFileRequestCommand:
      RequestFile(index, record, frame);
      break;
    case kBlockRequestCommand:
      RequestBlock(index, record, frame);
      break;
    default:
      break;
  }
}

void Dockhand::StartSession(int index, CHdlClient& record, PacketBuffer& frame) {
  {
    MutexLock lock(record.lock);
    record.state = 0;
    record.authenticated = false;
  }
  uint16_t ticketLength = 0;
  uint16_t authLength = 0;
  const uint8_t* ticketBytes = nullptr;
  const uint8_t* authBytes = nullptr;
  if (!frame.GetU16(&ticketLength) || !frame.ReadBytes(ticketLength, &ticketBytes) ||
      !frame.GetU16(&authLength) || !frame.ReadBytes(authLength, &authBytes)) {
    return ReplyCode(index, frame, kSessionStartCommand, kSessionMalformed, nullptr);
  }
  Ticket ticket;
  if (!OpenTicket(ticketBytes, ticketLength, serviceKey_, &ticket) ||
      TicketExpired(ticket, env_.clock->Now())) {
    return ReplyCode(index, frame, kSessionStartCommand, kTicketRefused, nullptr);
  }
  uint8_t auth[kAuthenticatorRoom];
  int authPlain = kAuthenticatorRoom;
  if (crypt::SymDecrypt(authBytes, authLength, ticket.sessionKey.data(), auth, &authPlain) == 0) {
    return ReplyCode(index, frame, kSessionStartCommand, kAuthenticatorUnreadable, nullptr);
  }
  PacketBuffer authBuffer;
  authBuffer.Reset();
  authBuffer.PutBytes(auth, authPlain);
  authBuffer.Rewind();
  uint32_t authTicketId = 0;
  uint32_t authUserId = 0;
  if (!authBuffer.GetU32(&authTicketId) || !authBuffer.GetU32(&authUserId) ||
      authTicketId != ticket.ticketId || authUserId != ticket.userId) {
    return ReplyCode(index, frame, kSessionStartCommand, kAuthenticatorMismatch, nullptr);
  }
  if (TicketExpired(ticket, env_.clock->Now())) {
    return ReplyCode(index, frame, kSessionStartCommand, kTicketExpiredLate, nullptr);
  }
  const TransferKey sessionKey = NewSessionKey();
  if (sessionKey == TransferKey{}) {
    // No random bytes from the kernel: a predictable key would protect nothing.
    log_.Log(u"[%d] no random bytes for a session key", index);
    ioLayer_->CloseConnection(index);
    return;
  }
  {
    MutexLock lock(record.lock);
    record.ticketId = ticket.ticketId;
    record.userId = ticket.userId;
    record.sessionKey = sessionKey;
    record.authenticated = true;
  }
  metrics::Server().transferSessionsStarted.Inc();
  BeginFrame(frame, kSessionStartCommand);
  frame.PutU32(0);
  frame.PutBytes(sessionKey.data(), sessionKey.size());
  Reply(index, frame, &ticket.sessionKey);
}

void Dockhand::RequestFile(int index, CHdlClient& record, PacketBuffer& frame) {
  TransferKey key;
  uint32_t userId;
  {
    MutexLock lock(record.lock);
    record.state = 3;
    key = record.sessionKey;
    userId = record.userId;
  }
  std::u16string dir;
  std::u16string name;
  if (!DecryptBody(frame, key) || frame.end - frame.position < 2 || !frame.GetText(&dir) ||
      !frame.GetText(&name)) {
    return;
  }
  log_.Log(u"[%d] User %d apply download file info: fileDir=%s,fileName=%s", index, userId, dir,
           name);
  dir = ToLower(dir);
  name = ToLower(name);
  const std::u16string mapped = MapRequestDirectory(dir, name);
  if (!fileManager_->FileExists(mapped, name)) {
    return ReplyCode(index, frame, kFileRequestCommand, kFileMissing, &key);
  }
  uint32_t size = 0;
  uint64_t fileTime = 0;
  const int result = OpenDownload(record, mapped, name, &size, &fileTime);
  if (result != 0) return ReplyCode(index, frame, kFileRequestCommand, result, &key);
  if (size == 0) return ReplyCode(index, frame, kFileRequestCommand, kFileEmptyOrUnopenable, &key);
  if (fileTime == 0) return ReplyCode(index, frame, kFileRequestCommand, kNoTimeTag, &key);
  const std::u16string tag = TimeTagOf(fileTime);
  BeginFrame(frame, kFileRequestCommand);
  frame.PutU32(0);
  frame.PutU32(size);
  frame.PutText(tag);
  Reply(index, frame, &key);
}

int Dockhand::OpenDownload(CHdlClient& record, const std::u16string& dir,
                           const std::u16string& name, uint32_t* size, uint64_t* fileTime) {
  MutexLock lock(record.lock);
  record.download.reset();
  record.download = std::make_unique<DownloadFile>(*fileManager_, log_);
  const int result = record.download->Init(dir, name, 0);
  // Size and time tag of the version the blocks will come from.
  *size = static_cast<uint32_t>(record.download->length());
  *fileTime = record.download->fileTime();
  return result;
}

void Dockhand::RequestBlock(int index, CHdlClient& record, PacketBuffer& frame) {
  TransferKey key;
  bool hasFile;
  {
    MutexLock lock(record.lock);
    hasFile = record.download != nullptr;
    if (hasFile) record.state = 4;
    key = record.sessionKey;
  }
  if (!hasFile) {
    ioLayer_->CloseConnection(index);  // outside the record's lock: OnClose takes it
    return;
  }
  uint32_t blockIndex = 0;
  if (!DecryptBody(frame, key) || !frame.GetU32(&blockIndex)) return;
  uint8_t block[kBlockBytes];
  int got = kBlockBytes;
  int result;
  {
    MutexLock lock(record.lock);
    result = record.download ? record.download->ReadBlock(blockIndex, block, &got) : kNoFile;
  }
  BeginFrame(frame, kBlockRequestCommand);
  frame.PutU32(blockIndex);
  frame.PutU32(static_cast<uint32_t>(result));
  if (result == 0) {
    frame.PutU16(static_cast<uint16_t>(got));
    frame.PutBytes(block, got);
    metrics::Server().transferBlocksServed.Inc();
    metrics::Server().transferBytesServed.Inc(static_cast<uint64_t>(got));
  }
  Reply(index, frame, nullptr);
}

void Dockhand::ReplyCode(int index, PacketBuffer& frame, uint16_t command, int32_t code,
                         const TransferKey* key) {
  // A session start is answered with a code only when it is refused.
  if (command == kSessionStartCommand) metrics::Server().transferSessionsRefused.Inc();
  BeginFrame(frame, command);
  frame.PutU32(static_cast<uint32_t>(code));
  Reply(index, frame, key);
}

void Dockhand::Reply(int index, PacketBuffer& frame, const TransferKey* key) {
  if (key != nullptr) EncryptBody(frame, *key);
  const int length = SealFrame(frame);
  ioLayer_->Send(index, frame.data, length);
}

}  // namespace pigeonbox
