// The file-transfer service under load, beside a plain peer in the same run.
//
// 1. Block downloads: 64 clients, each with a session and a file chosen, ask for one block after
//    another (encrypted request -> 3072-byte block). The peer is a single-threaded epoll server
//    that answers each request frame with a frame of the same size as the block reply. The
//    clients send requests encrypted beforehand in both runs, so the clients, frames and byte
//    counts are the same and only the servers' work differs.
// 2. Idle connections: 16384 connections held open at once (by a child process, so the server
//    and the clients each stay inside the descriptor limit); the server's heap and resident
//    memory before and after, per connection, beside its fixed per-slot tables.
//
// transfer_bench [seconds per workload, default 6, split over alternating rounds]
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "bench/round_trips.h"
#include "service/log_file.h"
#include "testutil/temp_dir.h"
#include "transfer/dockhand.h"
#include "transfer/frame_assembler.h"
#include "transfer/ticket.h"
#include "transfer/transfer_client.h"

namespace {

using namespace pigeonbox;

constexpr int kClients = 64;
constexpr int kIdleConnections = 16384;
constexpr int kFileBlocks = 16;
// Block reply: header, index, result, count, 3072 bytes, end byte.
constexpr int kBlockReplyBytes = 13 + 4 + 4 + 2 + kBlockBytes + 1;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "transfer_bench: %s\n", what);
  std::exit(1);
}

// A started service over a temporary root holding kClients files of kFileBlocks blocks.
struct Service {
  explicit Service(int slotCount = 16384) {
    // One file per client, as users fetch their own files: each has an owner stripe of its own.
    for (int i = 0; i < kClients; ++i) {
      root.Write("OffMsg/bench/disgroup/file" + std::to_string(i) + ".dat",
                 std::string(kFileBlocks * kBlockBytes, 'b'));
    }
    log.Open(root.path() + "Logs", "Pigeonbox.log");
    DockhandEnv env;
    env.installRoot = root.path();
    env.settings.port = 0;  // any free port
    env.log = &log;
    env.io.slotCount = slotCount;
    dockhand = std::make_unique<Dockhand>(env);
    if (dockhand->Start() != 1) Die("cannot start the service");
  }
  // A client with a session and file `file` chosen.
  std::unique_ptr<TransferClient> Client(int file) {
    auto client = std::make_unique<TransferClient>();
    std::string error;
    Ticket ticket{1, 2, 0, 0, NewSessionKey()};
    if (!client->Connect("127.0.0.1", dockhand->port(), &error) ||
        client->StartSession(SealTicket(ticket, LoadServiceKey(root.path())),
                             MakeAuthenticator(ticket.sessionKey, 1, 2, 0),
                             ticket.sessionKey) != 0) {
      Die("cannot start a session");
    }
    std::optional<TransferClient::FileInfo> info =
        client->RequestFile(u"bench_disgroup", u"file" + FromUtf8(std::to_string(file)) + u".dat");
    if (!info || info->result != 0) Die("cannot choose the file");
    return client;
  }

  testutil::TempDir root;
  LogFile log;
  std::unique_ptr<Dockhand> dockhand;
};

// A block request frame for `index`, its body encrypted with `key` once; the benchmark sends
// the same bytes again and again, so the clients do the same work in both runs.
std::vector<uint8_t> BlockRequest(uint32_t index, const TransferKey& key) {
  PacketBuffer request;
  BeginFrame(request, kBlockRequestCommand);
  request.PutU32(index);
  EncryptBody(request, key);
  const int length = SealFrame(request);
  return std::vector<uint8_t>(request.data, request.data + length);
}

// Sends `request` and reads one reply; true when it is a whole block reply.
bool BlockRoundTrip(TransferClient& client, const std::vector<uint8_t>& request) {
  PacketBuffer reply;
  uint32_t index, result;
  return client.SendBytes(request.data(), request.size()) && client.ReceiveFrame(&reply) &&
         reply.end + 1 == kBlockReplyBytes && reply.GetU32(&index) && reply.GetU32(&result) &&
         result == 0;
}

double DockhandRate(double seconds) {
  Service service;
  std::vector<std::unique_ptr<TransferClient>> clients;
  std::vector<std::vector<std::vector<uint8_t>>> requests(kClients);
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(service.Client(i));
    for (uint32_t b = 0; b < kFileBlocks; ++b) {
      requests[i].push_back(BlockRequest(b, clients[i]->session_key()));
    }
  }
  std::vector<uint32_t> next(kClients, 0);
  return bench::DriveRoundTrips(kClients, seconds, [&](int i) {
    return BlockRoundTrip(*clients[i], requests[i][next[i]++ % kFileBlocks]);
  });
}

// The peer: a single-threaded epoll server that answers every frame it receives with a reply of
// the size the service sends for a block.
std::vector<uint8_t> PeerReply() {
  PacketBuffer reply;
  BeginFrame(reply, kBlockRequestCommand);
  reply.PutU32(0);
  reply.PutU32(0);
  reply.PutU16(kBlockBytes);
  const std::string bytes(kBlockBytes, 'b');
  reply.PutBytes(bytes.data(), bytes.size());
  return std::vector<uint8_t>(reply.data, reply.data + SealFrame(reply));
}

double PeerRate(double seconds) {
  const std::vector<uint8_t> reply = PeerReply();
  std::vector<FrameAssembler> assemblers(65536);
  bench::LoopbackServer peer([&](int fd, const uint8_t* data, size_t length) {
    if (length == 0) {
      assemblers[fd].Reset();
      return true;
    }
    return assemblers[fd].Feed(data, static_cast<int>(length), [&](const uint8_t*, int) {
      return send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(reply.size());
    });
  });
  const std::vector<uint8_t> request = BlockRequest(0, NewSessionKey());
  std::vector<std::unique_ptr<TransferClient>> clients;
  std::string error;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TransferClient>());
    if (!clients.back()->Connect("127.0.0.1", peer.port(), &error)) Die("cannot reach the peer");
  }
  return bench::DriveRoundTrips(kClients, seconds,
                                [&](int i) { return BlockRoundTrip(*clients[i], request); });
}

size_t HeapInUse() {
  return mallinfo2().uordblks;
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
  }
  return 0;
}

// Opens `count` connections in a child process and holds them until told to go (a byte on
// `control`); writes one byte to `ready` once every connection has had a session started on a
// sample of them, so all have been accepted.
pid_t HoldConnections(uint16_t port, int count, int ready, int control, const std::string& root) {
  const pid_t child = fork();
  if (child != 0) return child;
  rlimit limit{static_cast<rlim_t>(count + 256), static_cast<rlim_t>(count + 256)};
  setrlimit(RLIMIT_NOFILE, &limit);
  std::vector<std::unique_ptr<TransferClient>> clients;
  std::string error;
  const TransferKey serviceKey = LoadServiceKey(root);
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<TransferClient>());
    if (!clients.back()->Connect("127.0.0.1", port, &error)) {
      std::fprintf(stderr, "connection %d: %s\n", i, error.c_str());
      _exit(1);
    }
  }
  // Connections are accepted in order; a session on every 1024th and on the last shows the
  // server has taken them all.
  std::vector<int> sample;
  for (int i = 1023; i < count - 1; i += 1024) sample.push_back(i);
  sample.push_back(count - 1);
  for (int i : sample) {
    Ticket ticket{1, 2, 0, 0, NewSessionKey()};
    if (clients[i]->StartSession(SealTicket(ticket, serviceKey),
                                 MakeAuthenticator(ticket.sessionKey, 1, 2, 0),
                                 ticket.sessionKey) != 0) {
      std::fprintf(stderr, "no session on connection %d\n", i);
      _exit(1);
    }
  }
  char byte = 1;
  if (write(ready, &byte, 1) != 1) _exit(1);
  if (read(control, &byte, 1) < 0) _exit(1);
  _exit(0);
}

void IdleConnections() {
  // Room for every connection besides the descriptors the connection layer keeps free (at
  // most 256) and those of the process itself.
  rlimit limit{static_cast<rlim_t>(kIdleConnections + 1024),
               static_cast<rlim_t>(kIdleConnections + 1024)};
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) Die("cannot raise RLIMIT_NOFILE");
  const size_t heapBeforeService = HeapInUse();
  Service service(kIdleConnections);
  const size_t heapBefore = HeapInUse();
  const long rssBefore = ResidentKb();
  int ready[2], control[2];
  if (pipe(ready) != 0 || pipe(control) != 0) Die("pipe");
  const pid_t child = HoldConnections(service.dockhand->port(), kIdleConnections, ready[1],
                                      control[0], service.root.path());
  char byte;
  if (read(ready[0], &byte, 1) != 1) Die("the connections could not be opened");
  const size_t heapAfter = HeapInUse();
  const long rssAfter = ResidentKb();
  if (write(control[1], &byte, 1) != 1) Die("pipe");
  waitpid(child, nullptr, 0);
  const double fixed = static_cast<double>(heapBefore - heapBeforeService) / kIdleConnections;
  const double heap = (static_cast<double>(heapAfter) - heapBefore) / kIdleConnections;
  const double rss = (rssAfter - rssBefore) * 1024.0 / kIdleConnections;
  std::printf("%d idle connections:\n", kIdleConnections);
  std::printf("  fixed tables of the service, per slot:      %8.0f bytes\n", fixed);
  std::printf("  heap growth while connected, per connection: %8.0f bytes\n", heap);
  std::printf("  resident growth while connected, per conn.:  %8.0f bytes\n", rss);
  std::printf("  user space per connection (fixed + heap):    %8.0f bytes (goal <= 2048)\n",
              fixed + heap);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 6.0;
  if (seconds <= 0) seconds = 6.0;
  // Alternating rounds, so a burst of load on the machine does not fall on one side only.
  constexpr int kRounds = 3;
  std::vector<double> ratios;
  std::printf("block downloads, %d clients (round trips/s):\n", kClients);
  for (int round = 0; round < kRounds; ++round) {
    const double peer = PeerRate(seconds / kRounds);
    const double dockhand = DockhandRate(seconds / kRounds);
    ratios.push_back(dockhand / peer);
    std::printf("  plain epoll server %8.0f   file-transfer service %8.0f   ratio %.2f\n", peer,
                dockhand, dockhand / peer);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("  median ratio: %.2f (goal >= 0.8)\n", ratios[kRounds / 2]);
  IdleConnections();
  return 0;
}
