// CIOLayer: the TCP server under the file-transfer service.
//
// One listening socket, one epoll instance served by a fixed pool of worker threads, a fixed
// table of connection slots named by their index, frame reassembly per slot (FrameAssembler) and
// a send queue per slot. It knows nothing of what frames mean: every complete frame goes to the
// owner, and the owner's frames go out in the order it sends them.
//
// Threads: one listen thread (accepts, OnConnect) and the workers (receives, sends, OnPacket,
// OnClose). Every socket is registered one-shot, so a slot is served by one worker at a time, and
// everything a slot holds is guarded by its re-entrant lock, which is held around every owner
// callback; the owner may call Send and CloseConnection for the same index from inside them.
// Both kinds of thread sleep in poll/epoll beside an eventfd that Stop signals, so Stop returns
// as soon as the callbacks in progress have finished.
//
// Connections never take the last descriptors of the process: above (open-file limit - reserve)
// open descriptors a new connection is closed at once, instead of being accepted until accept
// fails and the store can no longer open its files. Refusals and accept failures are logged at
// most once a second, with a count.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "metrics/registry.h"
#include "service/log_file.h"
#include "service/sys_log.h"
#include "transfer/index_pool.h"
#include "transfer/log_throttle.h"

namespace pigeonbox {

// What the layer tells its owner. Each call runs with the slot's lock held, on the thread that
// caused it; implementations must not block for long.
class IoOwner {
 public:
  virtual ~IoOwner() = default;
  virtual void OnConnect(int index) = 0;
  // `frame` is valid only during the call.
  virtual void OnPacket(int index, const uint8_t* frame, int length) = 0;
  // Just before the slot's socket is closed (peer close, error, bad frame or CloseConnection).
  virtual void OnClose(int index) = 0;
};

struct IoLayerOptions {
  int slotCount = 16384;
  int workerCount = 16;
  // Descriptors kept free for the store and the logs: a connection that would leave fewer is
  // closed as soon as it is accepted. -1: a sixteenth of the open-file limit, 32 to 256.
  int descriptorReserve = -1;
};

class CIOLayer {
 public:
  static constexpr int kMaxFrame = 4096;
  // Connections waiting to be accepted. A burst of clients (all users coming back after an
  // outage) must not overflow the queue: dropped handshakes are retried by the clients only
  // after one, three, seven seconds. The kernel caps it at net.core.somaxconn.
  static constexpr int kBacklog = 4096;

  // `owner`, `log` and `sysLog` are borrowed and must outlive the object; `sysLog` may be null.
  CIOLayer(IoOwner& owner, LogFile& log, SysLog* sysLog, IoLayerOptions options = {});
  // Stops the threads, then closes every open connection without calling the owner.
  ~CIOLayer();
  CIOLayer(const CIOLayer&) = delete;
  CIOLayer& operator=(const CIOLayer&) = delete;

  // Listens on every local address at `port` (0 picks a free port, see port()); `address` is
  // only kept. 1 when listening with all threads running, 0 after a logged failure.
  int Start(uint32_t address, uint16_t port);
  // Ends the listen thread and every worker and joins them. Open connections stay in their
  // slots until the object is destroyed or CloseConnection closes them.
  void Stop();

  // Queues one complete frame of 1..4096 bytes for connection `index`; 1 when queued, 0 when
  // refused (bad index, stopping, no connection, bad length) or when the connection had to be
  // closed because the send failed. Any thread.
  int Send(int index, const uint8_t* frame, int length);
  int Send(int index, std::span<const uint8_t> frame) {
    return Send(index, frame.data(), static_cast<int>(frame.size()));
  }
  // Closes connection `index` (OnClose first); an index out of range or a free slot is ignored.
  void CloseConnection(int index);
  // Closes connection `index` like CloseConnection when `stillWanted()`, called with the slot's
  // lock held, returns true; so a connection seen earlier is not mistaken for a newer one.
  void CloseConnectionIf(int index, const std::function<bool()>& stillWanted);

  // The port listened on; valid after a successful Start.
  uint16_t port() const { return boundPort_; }
  uint32_t address() const { return listenAddress_; }
  int slot_count() const { return options_.slotCount; }
  // Open descriptors above which new connections are closed; valid after a successful Start.
  int descriptor_ceiling() const { return descriptorCeiling_; }

 private:
  struct SendNode;
  struct Slot;

  int FailStart(int listenFd);
  bool OpenListenSocket(uint16_t port);
  bool StartThreads();
  void JoinThreads();
  void ListenEntry();
  void ListenProc();
  void AcceptReady();
  void SetDescriptorCeiling();
  bool AboveCeiling(int fd) const;
  void TakeConnection(int fd, uint32_t peerAddress, uint16_t peerPort);
  void WorkProc();
  void DoWork(uint64_t key, uint32_t events, uint8_t* buffer);
  void Receive(int index, Slot& slot, uint8_t* buffer);
  bool FlushSends(Slot& slot);
  bool Arm(int index, Slot& slot);
  void CloseSlot(int index, Slot& slot);
  static void ReleaseSlot(Slot& slot);
  bool Current(const Slot& slot, uint32_t generation) const;

  IoOwner& owner_;
  LogFile& log_;
  SysLog* sysLog_;
  const IoLayerOptions options_;
  std::unique_ptr<Slot[]> slots_;
  std::unique_ptr<IndexPool> indexPool_;
  std::atomic<bool> stopFlag_{false};
  bool running_ = false;
  int listenFd_ = -1;
  int epollFd_ = -1;
  int wakeFd_ = -1;
  uint32_t listenAddress_ = 0;
  uint16_t boundPort_ = 0;
  int descriptorCeiling_ = 0;
  int otherDescriptors_ = 0;  // open at Start, besides the connections
  std::atomic<int> liveConnections_{0};
  LogThrottle refusedLog_;       // listen thread only
  LogThrottle acceptFailedLog_;  // listen thread only
  std::thread listenThread_;
  std::vector<std::thread> workers_;
  // liveConnections_ in the metrics, from a successful Start until the layer goes.
  metrics::CallbackHandle connectionsMetric_;
};

}  // namespace pigeonbox
