#include "transfer/io_layer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "metrics/process_figures.h"
#include "metrics/server_metrics.h"
#include "transfer/frame_assembler.h"

namespace pigeonbox {
namespace {

// Epoll key of the wake eventfd; slot keys are (generation << 32) | index and never reach it.
constexpr uint64_t kWakeKey = ~uint64_t{0};

// Ready connections a worker takes from one epoll_wait. More saves system calls under load; but
// a worker serves its batch one after the other, so a block read that waits for an owner's
// stripe (while the store rewrites that owner) holds up the rest of its batch: kept small.
constexpr int kReadyBatch = 4;

uint64_t SlotKey(int index, uint32_t generation) {
  return (uint64_t{generation} << 32) | static_cast<uint32_t>(index);
}

}  // namespace

struct CIOLayer::SendNode {
  std::unique_ptr<uint8_t[]> bytes;
  int length = 0;
  int sent = 0;
  SendNode* next = nullptr;
};

struct CIOLayer::Slot {
  std::recursive_mutex lock;
  int fd = -1;
  // Bumped on every accept, so an event of an earlier connection of the slot is recognised.
  uint32_t generation = 0;
  bool closing = false;
  uint32_t peerAddress = 0;  // network order
  uint16_t peerPort = 0;     // network order
  SendNode* sendHead = nullptr;
  SendNode* sendTail = nullptr;
  FrameAssembler assembler;
};

CIOLayer::CIOLayer(IoOwner& owner, LogFile& log, SysLog* sysLog, IoLayerOptions options)
    : owner_(owner),
      log_(log),
      sysLog_(sysLog),
      options_(options),
      slots_(new Slot[options.slotCount]),
      indexPool_(std::make_unique<IndexPool>(options.slotCount)) {}

CIOLayer::~CIOLayer() {
  connectionsMetric_.Reset();
  Stop();
  for (int i = 0; i < options_.slotCount; ++i) {
    std::lock_guard<std::recursive_mutex> lock(slots_[i].lock);
    ReleaseSlot(slots_[i]);
  }
  if (epollFd_ >= 0) close(epollFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

int CIOLayer::Start(uint32_t address, uint16_t port) {
  if (running_) return 0;
  indexPool_ = std::make_unique<IndexPool>(options_.slotCount);
  indexPool_->Fill(0, options_.slotCount - 1);
  stopFlag_ = false;
  if (!OpenListenSocket(port)) return FailStart(listenFd_);
  listenAddress_ = address;
  if (epollFd_ < 0) epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event wake{};
  wake.events = EPOLLIN;  // level-triggered and never read: wakes every worker until it ends
  wake.data.u64 = kWakeKey;
  if (epollFd_ < 0 || wakeFd_ < 0 ||
      (epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake) != 0 && errno != EEXIST)) {
    log_.Log(u"Create epoll instance failed, errCode:%d", errno);
    return FailStart(listenFd_);
  }
  uint64_t drain;
  while (read(wakeFd_, &drain, sizeof drain) > 0) {
  }
  SetDescriptorCeiling();
  if (!StartThreads()) return FailStart(listenFd_);
  running_ = true;
  connectionsMetric_ = metrics::ProcessRegistry().AddCallback(
      metrics::Registry::Type::kGauge, "pigeonbox_transfer_connections",
      "Open file-transfer connections.", [this] { return double(liveConnections_.load()); });
  return 1;
}

void CIOLayer::SetDescriptorCeiling() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const int max = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 30)
                      ? 1 << 30
                      : static_cast<int>(limit.rlim_cur);
  const int reserve =
      options_.descriptorReserve >= 0 ? options_.descriptorReserve : std::clamp(max / 16, 32, 256);
  descriptorCeiling_ = max - reserve;
  otherDescriptors_ = metrics::OpenDescriptors() - liveConnections_;
}

// Descriptors are handed out lowest first, so a new one numbered `fd` means at least fd + 1 are
// open; the count of connections beside what was open at Start covers the case of free numbers
// below it.
bool CIOLayer::AboveCeiling(int fd) const {
  return fd >= descriptorCeiling_ || otherDescriptors_ + liveConnections_ + 1 > descriptorCeiling_;
}

int CIOLayer::FailStart(int listenFd) {
  if (listenFd >= 0) close(listenFd);
  listenFd_ = -1;
  stopFlag_ = true;
  return 0;
}

bool CIOLayer::OpenListenSocket(uint16_t port) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    log_.Log(u"创建 Listen socket 失败，errCode:%d", errno);
    return false;
  }
  // Without it a restart would fail while old connections of the port linger in TIME_WAIT.
  int on = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    log_.Log(u"无法绑定 TCP 端口:%d, 该端口可能被占用, errCode:%d", port, err);
    if (sysLog_ != nullptr)
      sysLog_->Report(0, u"network", 3001, u"无法绑定TCP端口:%d,该端口可能被占用", port);
    return false;
  }
  if (setsockopt(listenFd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
    log_.Log(u"Listen socket setsockopt 失败, errCode:%d", errno);
    return false;
  }
  if (listen(listenFd_, kBacklog) != 0) {
    log_.Log(u"Listen 失败, errCode:%d", errno);
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  boundPort_ = ntohs(addr.sin_port);
  return true;
}

bool CIOLayer::StartThreads() {
  try {
    for (int i = 0; i < options_.workerCount; ++i) workers_.emplace_back([this] { WorkProc(); });
  } catch (const std::exception&) {
    // A worker that cannot start leaves the pool smaller; the others serve every slot.
  }
  try {
    listenThread_ = std::thread([this] { ListenEntry(); });
  } catch (const std::exception&) {
    log_.Log(u"启动 Listen 线程失败！");
    stopFlag_ = true;
    JoinThreads();
    return false;
  }
  return true;
}

void CIOLayer::Stop() {
  stopFlag_ = true;
  if (!running_) return;
  JoinThreads();
  close(listenFd_);
  listenFd_ = -1;
  running_ = false;
}

void CIOLayer::JoinThreads() {
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // The counter is already signalled; the threads are awake either way.
  }
  if (listenThread_.joinable()) listenThread_.join();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void CIOLayer::ListenEntry() {
  for (;;) {
    try {
      ListenProc();
      return;
    } catch (...) {
      log_.Log(u"CIOLayer::ListenProc 异常退出！");
    }
    if (stopFlag_) return;
    // The accept loop starts over on this thread, which takes the place of a new one.
    log_.Log(u"重启 CIOLayer::ListenProc 成功！");
  }
}

void CIOLayer::ListenProc() {
  while (!stopFlag_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (stopFlag_) break;
    if (fds[0].revents & POLLIN) AcceptReady();
  }
}

void CIOLayer::AcceptReady() {
  while (!stopFlag_) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd =
        accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int count = 0;
    if (fd >= 0 && AboveCeiling(fd)) {
      close(fd);
      if (refusedLog_.Count(&count)) {
        log_.Log(u"descriptors near the limit (%d open allowed): new connection closed, count:%d",
                 descriptorCeiling_, count);
      }
      continue;
    }
    if (fd >= 0) {
      TakeConnection(fd, peer.sin_addr.s_addr, peer.sin_port);
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    if (errno == EINTR || errno == ECONNABORTED) continue;
    // Out of descriptors or memory: the pending connection stays queued; wait a little (or
    // for Stop) instead of spinning on a listening socket that stays readable.
    const int error = errno;
    if (acceptFailedLog_.Count(&count)) {
      log_.Log(u"accept failed, errCode:%d, count:%d", error, count);
    }
    pollfd wake{wakeFd_, POLLIN, 0};
    poll(&wake, 1, 100);
    return;
  }
}

void CIOLayer::TakeConnection(int fd, uint32_t peerAddress, uint16_t peerPort) {
  const int index = indexPool_->Take();
  if (index < 0) {
    log_.Log(u"No free index!");
    close(fd);
    return;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  linger off{0, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);

  Slot& slot = slots_[index];
  std::lock_guard<std::recursive_mutex> lock(slot.lock);
  if (slot.fd >= 0) --liveConnections_;
  ReleaseSlot(slot);
  slot.fd = fd;
  ++liveConnections_;
  const uint32_t generation = ++slot.generation;
  slot.peerAddress = peerAddress;
  slot.peerPort = peerPort;
  owner_.OnConnect(index);
  if (!Current(slot, generation)) return;  // the owner closed it already
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  ev.data.u64 = SlotKey(index, generation);
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    log_.Log(u"associate new socket with epoll failed, errCode:%d", errno);
    CloseSlot(index, slot);
  }
}

void CIOLayer::WorkProc() {
  try {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kMaxFrame]);
    epoll_event events[kReadyBatch];
    while (!stopFlag_) {
      const int n = epoll_wait(epollFd_, events, kReadyBatch, -1);
      if (n < 0 && errno != EINTR) {
        log_.Log(u"epoll_wait fail, ErrorCode: %d", errno);
        return;
      }
      for (int i = 0; i < n && !stopFlag_; ++i) {
        if (events[i].data.u64 == kWakeKey) continue;
        try {
          DoWork(events[i].data.u64, events[i].events, buffer.get());
        } catch (...) {
          log_.Log(u"CIOLayer::DoWork 异常！");
        }
      }
    }
  } catch (...) {
    log_.Log(u"CIOLayer::WorkProc 异常退出！");
  }
}

void CIOLayer::DoWork(uint64_t key, uint32_t events, uint8_t* buffer) {
  const int index = static_cast<int>(key & 0xffffffffu);
  const uint32_t generation = static_cast<uint32_t>(key >> 32);
  if (index < 0 || index >= options_.slotCount) return;
  Slot& slot = slots_[index];
  std::lock_guard<std::recursive_mutex> lock(slot.lock);
  if (!Current(slot, generation)) return;  // an event of a connection that is gone
  if (events & EPOLLERR) return CloseSlot(index, slot);
  if ((events & EPOLLOUT) && !FlushSends(slot)) return CloseSlot(index, slot);
  if (events & (EPOLLIN | EPOLLHUP)) {
    Receive(index, slot, buffer);
    if (!Current(slot, generation)) return;
  }
  if (!Arm(index, slot)) CloseSlot(index, slot);
}

// One receive of up to 4096 bytes; more data waiting makes the re-armed socket ready again.
void CIOLayer::Receive(int index, Slot& slot, uint8_t* buffer) {
  const ssize_t n = recv(slot.fd, buffer, kMaxFrame, 0);
  if (n == 0) return CloseSlot(index, slot);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) CloseSlot(index, slot);
    return;
  }
  const uint32_t generation = slot.generation;
  const bool ok =
      slot.assembler.Feed(buffer, static_cast<size_t>(n), [&](const uint8_t* frame, int length) {
        owner_.OnPacket(index, frame, length);
        return Current(slot, generation);
      });
  if (!ok && Current(slot, generation)) CloseSlot(index, slot);
}

bool CIOLayer::FlushSends(Slot& slot) {
  while (SendNode* node = slot.sendHead) {
    const ssize_t n = send(slot.fd, node->bytes.get() + node->sent, node->length - node->sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    node->sent += static_cast<int>(n);
    if (node->sent < node->length) continue;
    slot.sendHead = node->next;
    if (slot.sendHead == nullptr) slot.sendTail = nullptr;
    delete node;
  }
  return true;
}

bool CIOLayer::Arm(int index, Slot& slot) {
  epoll_event ev{};
  // While replies wait in the queue the peer is not taking them: its further requests stay in
  // the kernel until the queue has drained, so a peer that sends without reading cannot make
  // the queue (and the server's memory) grow without bound.
  ev.events = EPOLLONESHOT | (slot.sendHead != nullptr ? uint32_t{EPOLLOUT} : uint32_t{EPOLLIN});
  ev.data.u64 = SlotKey(index, slot.generation);
  return epoll_ctl(epollFd_, EPOLL_CTL_MOD, slot.fd, &ev) == 0;
}

int CIOLayer::Send(int index, const uint8_t* frame, int length) {
  if (index < 0 || index >= options_.slotCount || stopFlag_ || frame == nullptr || length < 1 ||
      length > kMaxFrame) {
    return 0;
  }
  Slot& slot = slots_[index];
  std::lock_guard<std::recursive_mutex> lock(slot.lock);
  if (slot.fd < 0) return 0;
  SendNode* node = new (std::nothrow) SendNode;
  if (node != nullptr) node->bytes.reset(new (std::nothrow) uint8_t[length]);
  if (node == nullptr || node->bytes == nullptr) {
    delete node;
    CloseSlot(index, slot);
    return 0;
  }
  std::memcpy(node->bytes.get(), frame, length);
  node->length = length;
  if (slot.sendHead != nullptr) {
    // A send is under way; it continues with this node when the ones before it are out.
    slot.sendTail->next = node;
    slot.sendTail = node;
    return 1;
  }
  slot.sendHead = slot.sendTail = node;
  if (!FlushSends(slot) || (slot.sendHead != nullptr && !Arm(index, slot))) {
    CloseSlot(index, slot);
    return 0;
  }
  return 1;
}

void CIOLayer::CloseConnection(int index) {
  if (index < 0 || index >= options_.slotCount) return;
  Slot& slot = slots_[index];
  std::lock_guard<std::recursive_mutex> lock(slot.lock);
  CloseSlot(index, slot);
}

void CIOLayer::CloseConnectionIf(int index, const std::function<bool()>& stillWanted) {
  if (index < 0 || index >= options_.slotCount) return;
  Slot& slot = slots_[index];
  std::lock_guard<std::recursive_mutex> lock(slot.lock);
  if (slot.fd >= 0 && stillWanted()) CloseSlot(index, slot);
}

void CIOLayer::CloseSlot(int index, Slot& slot) {
  if (slot.fd < 0 || slot.closing) return;
  slot.closing = true;  // an OnClose that closes the same index again finds it closing
  try {
    owner_.OnClose(index);
  } catch (...) {
    log_.Log(u"CIOLayer::OnClose 异常！");
  }
  slot.closing = false;
  ReleaseSlot(slot);
  --liveConnections_;
  indexPool_->Give(index);
}

// Closes the socket (which also removes it from epoll) and frees the buffers and the queue.
void CIOLayer::ReleaseSlot(Slot& slot) {
  if (slot.fd >= 0) close(slot.fd);
  slot.fd = -1;
  slot.assembler.Reset();
  while (SendNode* node = slot.sendHead) {
    slot.sendHead = node->next;
    delete node;
  }
  slot.sendTail = nullptr;
}

bool CIOLayer::Current(const Slot& slot, uint32_t generation) const {
  return slot.fd >= 0 && slot.generation == generation;
}

}  // namespace pigeonbox
