#include "transfer/io_layer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testutil/temp_dir.h"
#include "testutil/transfer/frames.h"
#include "testutil/wait_until.h"

namespace pigeonbox {
namespace {

using testutil::Frame;

// Records the callbacks; a test may hook OnPacket to answer or close from inside it.
class RecordingOwner : public IoOwner {
 public:
  void OnConnect(int index) override { Add("connect " + std::to_string(index)); }
  void OnPacket(int index, const uint8_t* frame, int length) override {
    Add("packet " + std::to_string(index) + " " +
        std::string(reinterpret_cast<const char*>(frame), length));
    if (onPacket) onPacket(index, std::string(reinterpret_cast<const char*>(frame), length));
  }
  void OnClose(int index) override { Add("close " + std::to_string(index)); }

  // Waits until `count` events were recorded; the events so far.
  // The events once there are `count` of them. A missing event fails the test (after a bound
  // that only keeps a broken build from hanging) instead of waiting forever.
  std::vector<std::string> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool arrived =
        cv_.wait_for(lock, std::chrono::seconds(60), [&] { return events_.size() >= count; });
    if (!arrived) {
      ADD_FAILURE() << "only " << events_.size() << " of " << count << " events arrived";
      events_.resize(count);  // keeps the caller's indexing in bounds
    }
    return events_;
  }
  // Waits up to a second for `count` events.
  void WaitBriefly(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(1), [&] { return events_.size() >= count; });
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  std::function<void(int, const std::string&)> onPacket;

 private:
  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

// `source` (host order) picks the local loopback address; spreading many connections over
// several addresses keeps the kernel's search for a free local port short.
int Connect(uint16_t port, uint32_t source = 0) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (source != 0) {
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(source);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void Write(int fd, const std::string& bytes) {
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
}

// Reads exactly `count` bytes; fewer when the peer closed.
std::string ReadBytes(int fd, size_t count) {
  std::string out(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = recv(fd, out.data() + got, count - got, 0);
    if (n <= 0) break;
    got += n;
  }
  out.resize(got);
  return out;
}

// True when the server closed the connection (end of stream or reset).
bool ClosedByPeer(int fd) {
  char c;
  return recv(fd, &c, 1, 0) <= 0;
}

class IoLayerTest : public ::testing::Test {
 protected:
  void StartLayer(IoLayerOptions options = {}) {
    ASSERT_TRUE(log_.Open(dir_.path(), "io.log"));
    layer_ = std::make_unique<CIOLayer>(owner_, log_, nullptr, options);
    ASSERT_EQ(1, layer_->Start(0, 0));
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    layer_.reset();
  }
  int Client() {
    const int fd = Connect(layer_->port());
    fds_.push_back(fd);
    return fd;
  }

  testutil::TempDir dir_;
  LogFile log_;
  RecordingOwner owner_;
  std::unique_ptr<CIOLayer> layer_;
  std::vector<int> fds_;
};

TEST_F(IoLayerTest, ReassemblesFramesAcrossReceives) {
  StartLayer();
  const int fd = Client();
  owner_.WaitFor(1);
  const std::string a = Frame(14, 'a'), b = Frame(15, 'b'), c = Frame(4096, 'c');
  Write(fd, a + b + c.substr(0, 1));
  EXPECT_EQ("packet 0 " + b, owner_.WaitFor(3)[2]);
  Write(fd, c.substr(1, 1));  // the length still incomplete
  Write(fd, c.substr(2));
  EXPECT_EQ("packet 0 " + c, owner_.WaitFor(4)[3]);
}

TEST_F(IoLayerTest, BadFrameLengthsCloseTheConnection) {
  StartLayer();
  for (int bad : {2, 4097}) {
    // Counted before connecting: the connect event may be recorded before Client() returns.
    const size_t start = owner_.events().size();
    const int fd = Client();
    const size_t before = start + 1;
    owner_.WaitFor(before);
    const std::string index = owner_.events()[start].substr(8);  // "connect <index>"
    Write(fd, Frame(3) +
                  std::string{'\x02', static_cast<char>(bad >> 8), static_cast<char>(bad & 0xff)} +
                  "more bytes");
    EXPECT_TRUE(ClosedByPeer(fd));
    const std::vector<std::string> events = owner_.WaitFor(before + 2);
    EXPECT_EQ("packet " + index + " " + Frame(3), events[before]);
    EXPECT_EQ("close " + index, events[before + 1]);
  }
}

TEST_F(IoLayerTest, QueuedSendsLeaveInOrder) {
  StartLayer();
  // Far more than the socket buffers hold, so most frames wait in the slot's queue.
  constexpr int kFrames = 400;
  owner_.onPacket = [&](int index, const std::string&) {
    for (int i = 0; i < kFrames; ++i) {
      std::string frame = Frame(4096, static_cast<char>('A' + i % 26));
      frame.replace(3, 4, std::to_string(1000 + i));
      EXPECT_EQ(1, layer_->Send(index, reinterpret_cast<const uint8_t*>(frame.data()), 4096));
    }
  };
  const int fd = Client();
  Write(fd, Frame(14));
  for (int i = 0; i < kFrames; ++i) {
    const std::string frame = ReadBytes(fd, 4096);
    ASSERT_EQ(4096u, frame.size());
    ASSERT_EQ(std::to_string(1000 + i), frame.substr(3, 4));
    ASSERT_EQ(static_cast<char>('A' + i % 26), frame[4095]);
  }
  EXPECT_EQ(0, layer_->Send(0, nullptr, 10));
  EXPECT_EQ(0, layer_->Send(0, reinterpret_cast<const uint8_t*>("x"), 0));
  EXPECT_EQ(0, layer_->Send(0, reinterpret_cast<const uint8_t*>(Frame(4097).data()), 4097));
  EXPECT_EQ(0, layer_->Send(1, reinterpret_cast<const uint8_t*>("x"), 1));  // no connection
}

// A peer that sends without ever reading: its requests are no longer read while replies wait,
// so the replies queued for it stay bounded; once it reads, every whole request is answered.
TEST_F(IoLayerTest, APeerThatDoesNotReadIsNotReadEither) {
  StartLayer({.slotCount = 4, .workerCount = 2});
  owner_.onPacket = [&](int index, const std::string& frame) {
    layer_->Send(index, reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  };
  const int fd = Client();
  const int small = 64 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::string frame = Frame(4096, 'r');
  // Far more than every socket buffer on the way can hold.
  constexpr size_t kLimit = size_t{128} << 20;
  size_t sent = 0;
  while (sent < kLimit) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 2000) <= 0) break;  // the server has stopped taking requests
    const size_t at = sent % frame.size();
    const ssize_t n = send(fd, frame.data() + at, frame.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += static_cast<size_t>(n);
  }
  EXPECT_LT(sent, kLimit);
  const timeval bound{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  const size_t whole = sent / frame.size() * frame.size();
  std::string echoed;
  while (echoed.size() < whole) {
    const std::string part = ReadBytes(fd, std::min<size_t>(whole - echoed.size(), 1 << 20));
    if (part.empty()) break;
    echoed += part;
  }
  ASSERT_EQ(whole, echoed.size());
  for (size_t at = 0; at < whole; at += frame.size()) {
    ASSERT_EQ(frame, echoed.substr(at, frame.size()));
  }
  for (const std::string& event : owner_.events())
    EXPECT_EQ(std::string::npos, event.find("close"));
}

TEST_F(IoLayerTest, OwnerClosesFromInsideOnPacket) {
  StartLayer();
  owner_.onPacket = [&](int index, const std::string& frame) {
    layer_->Send(index, reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
    if (frame[3] == 'q') layer_->CloseConnection(index);
  };
  const int fd = Client();
  Write(fd, Frame(5, 'e') + Frame(5, 'q') + Frame(5, 'z'));
  EXPECT_EQ(Frame(5, 'e') + Frame(5, 'q'), ReadBytes(fd, 10));
  EXPECT_TRUE(ClosedByPeer(fd));
  const std::vector<std::string> events = owner_.WaitFor(4);
  EXPECT_EQ("close 0", events[3]);
  EXPECT_EQ(4u, owner_.events().size());  // the frame after the close was never delivered
}

TEST_F(IoLayerTest, SlotsComeFromTheRingAndAFullTableRefuses) {
  StartLayer({.slotCount = 3, .workerCount = 2});
  const int a = Client(), b = Client(), c = Client();
  owner_.WaitFor(3);
  close(b);
  EXPECT_EQ("close 1", owner_.WaitFor(4)[3]);
  // The index goes back to the ring just after OnClose returns, so a connection made at once may
  // still find the table full: try again until it is served.
  int d = -1;
  for (int attempt = 0; attempt < 100 && owner_.events().size() < 5; ++attempt) {
    if (d >= 0) close(d);
    d = Connect(layer_->port());
    owner_.WaitBriefly(5);
  }
  fds_.push_back(d);
  EXPECT_EQ("connect 1", owner_.WaitFor(5)[4]);  // the only free index
  const int refused = Client();
  EXPECT_TRUE(ClosedByPeer(refused));
  EXPECT_NE(std::string::npos, dir_.Read("io.log").find("No free index!"));
  for (int fd : {a, c, d}) Write(fd, Frame(4));
  const std::vector<std::string> events = owner_.WaitFor(8);
  EXPECT_EQ(8u, events.size());  // no callback for the refused connection
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST_F(IoLayerTest, AStartThatCannotBindLeavesNoDescriptorBehind) {
  ASSERT_TRUE(log_.Open(dir_.path(), "io.log"));
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(0, bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(taken, 1));
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &len));
  CIOLayer layer(owner_, log_, nullptr, {.slotCount = 2, .workerCount = 1});
  ASSERT_EQ(0, layer.Start(0, ntohs(addr.sin_port)));  // anything opened on first use is open now
  const size_t before = OpenDescriptors();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0, layer.Start(0, ntohs(addr.sin_port)));
  EXPECT_EQ(before, OpenDescriptors());
  close(taken);
}

TEST_F(IoLayerTest, StopEndsEveryThreadAndRefusesSends) {
  StartLayer();
  const int fd = Client();
  owner_.WaitFor(1);
  layer_->Stop();
  layer_->Stop();
  EXPECT_EQ(0, layer_->Send(0, reinterpret_cast<const uint8_t*>(Frame(4).data()), 4));
  EXPECT_EQ(-1, Connect(layer_->port()));
  // The open connection stays until the layer goes, and then closes without callbacks.
  layer_.reset();
  EXPECT_TRUE(ClosedByPeer(fd));
  EXPECT_EQ(1u, owner_.events().size());
}

// The full table: 16384 connections are served and the next is closed at once. The clients run
// in a child process, so each side needs only one descriptor per connection.
TEST_F(IoLayerTest, The16385thConnectionIsClosed) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 16384 + 512) GTEST_SKIP() << "hard descriptor limit too low";

  int toChild[2], toParent[2];
  ASSERT_EQ(0, pipe(toChild));
  ASSERT_EQ(0, pipe(toParent));
  const pid_t child = fork();  // before any thread of the layer exists
  ASSERT_GE(child, 0);
  if (child == 0) {
    uint16_t port = 0;
    if (read(toChild[0], &port, sizeof port) != sizeof port) _exit(2);
    for (int i = 0; i < 16384; ++i) {
      if (Connect(port, INADDR_LOOPBACK + 1 + i % 64) < 0) _exit(3);
    }
    const int last = Connect(port, INADDR_LOOPBACK + 100);
    const char refused = (last >= 0 && ClosedByPeer(last)) ? 1 : 0;
    if (write(toParent[1], &refused, 1) != 1) _exit(4);
    char done;
    if (read(toChild[0], &done, 1) != 1) _exit(5);
    _exit(0);
  }
  StartLayer();
  const uint16_t port = layer_->port();
  ASSERT_EQ(static_cast<ssize_t>(sizeof port), write(toChild[1], &port, sizeof port));
  char refused = 0;
  ASSERT_EQ(1, read(toParent[0], &refused, 1));
  EXPECT_EQ(1, refused);
  const std::vector<std::string> events = owner_.WaitFor(16384);
  EXPECT_EQ("connect 16383", events.back());
  EXPECT_NE(std::string::npos, dir_.Read("io.log").find("No free index!"));
  layer_.reset();  // the server side closes first, so the clients leave no TIME_WAIT behind
  ASSERT_EQ(1, write(toChild[1], "x", 1));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(0, WEXITSTATUS(status));
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
  EXPECT_EQ(16384u, owner_.events().size());  // no callback for the refused connection
}

// Holds `count` connections to the port it is sent, in a child process with descriptors of its
// own, until a byte arrives. Forked before any thread of the layer exists.
class ConnectionHolder {
 public:
  explicit ConnectionHolder(int count) {
    EXPECT_EQ(0, pipe(toChild_));
    EXPECT_EQ(0, pipe(toParent_));
    child_ = fork();
    if (child_ != 0) return;
    // Only the parent's ends stay open elsewhere, so a parent that dies gives the child an end
    // of file instead of leaving it waiting forever (and holding the test's output open).
    close(toChild_[1]);
    close(toParent_[0]);
    uint16_t port = 0;
    if (read(toChild_[0], &port, sizeof port) != sizeof port) _exit(2);
    for (int i = 0; i < count; ++i) {
      if (Connect(port) < 0) _exit(3);
    }
    if (write(toParent_[1], "c", 1) != 1) _exit(4);
    char done;
    if (read(toChild_[0], &done, 1) != 1) _exit(5);
    _exit(0);
  }
  // Sends the port; true once every connection is made (the server may not have accepted them).
  bool ConnectTo(uint16_t port) {
    char connected;
    return write(toChild_[1], &port, sizeof port) == sizeof port &&
           read(toParent_[0], &connected, 1) == 1;
  }
  ~ConnectionHolder() {
    if (write(toChild_[1], "x", 1) != 1) kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
    for (int fd : {toChild_[0], toChild_[1], toParent_[0], toParent_[1]}) close(fd);
  }

 private:
  int toChild_[2];
  int toParent_[2];
  pid_t child_ = -1;
};

// The descriptors this process holds, and a soft limit `extra` above that for the test's span.
class ScopedDescriptorLimit {
 public:
  explicit ScopedDescriptorLimit(int extra) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lower = saved_;
    lower.rlim_cur = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                   std::filesystem::directory_iterator{}) +
                     extra;
    setrlimit(RLIMIT_NOFILE, &lower);
  }
  ~ScopedDescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

// Whether `count` more descriptors can be opened now.
bool CanOpen(int count) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    fds.push_back(fd);
  }
  for (int fd : fds) close(fd);
  return static_cast<int>(fds.size()) == count;
}

// Waits (bounded) until the log holds `text`.
bool LogShows(testutil::TempDir& dir, const std::string& text) {
  return testutil::WaitUntil([&] { return dir.Read("io.log").find(text) != std::string::npos; });
}

int CountIn(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// 100 connections against 60 free descriptors: the layer stops taking them while 20 are still
// free, closes the rest at once and says so in a line or two, not one per connection.
TEST_F(IoLayerTest, ConnectionsLeaveTheReserveFree) {
  ConnectionHolder holder(100);
  ScopedDescriptorLimit limit(60);
  IoLayerOptions options;
  options.descriptorReserve = 20;
  StartLayer(options);
  ASSERT_TRUE(holder.ConnectTo(layer_->port()));
  ASSERT_TRUE(LogShows(dir_, "new connection closed")) << dir_.Read("io.log");
  EXPECT_TRUE(CanOpen(15));
  EXPECT_LT(owner_.events().size(), 60u);
  EXPECT_LE(CountIn(dir_.Read("io.log"), "new connection closed"), 2);
}

// Without a reserve, accept fails once something else took the descriptors: one line a second
// at most, with a count.
TEST_F(IoLayerTest, AcceptFailuresAreLoggedOnceASecond) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  // The sanitizers' runtime opens descriptors of its own (a pipe for each memory check of a
  // type), so with none left it reports false errors and ends the process.
  GTEST_SKIP() << "every descriptor taken cannot be used under the sanitizers";
#endif
#endif
  ConnectionHolder holder(5);
  ScopedDescriptorLimit limit(30);
  IoLayerOptions options;
  options.descriptorReserve = 0;
  StartLayer(options);
  std::vector<int> taken;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
  const auto start = std::chrono::steady_clock::now();
  const bool connected = holder.ConnectTo(layer_->port());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  for (int fd : taken) close(fd);
  ASSERT_TRUE(connected);
  const std::string log = dir_.Read("io.log");
  EXPECT_GE(CountIn(log, "accept failed, errCode:24"), 1) << log;
  EXPECT_LE(CountIn(log, "accept failed"), seconds.count() + 1) << log;
}

}  // namespace
}  // namespace pigeonbox
