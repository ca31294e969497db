// Junk input against a running server, with its resident memory sampled along the way.
//
// Phase 1 sends malformed and random requests to the offline-message service through the
// application server (as 16 logged-in users, so several delivery lanes of the server work);
// phase 2 sends malformed and random frames to the file-transfer port. The junk goes out as fast
// as the connections take it; every `sample` frames the tool waits until the server has answered
// a probe from every sender (so all junk before it has been handled) and prints the server's
// resident and anonymous memory.
// Loopback only; the server and the application server are started by junk_soak.py.
//
// junk_soak --appserver-port P --transfer-port T --pid PID [--app NAME] [--frames N]
//           [--sample S] [--seed X]
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "link/wire/envelope.h"
#include "suite/appserver_user.h"
#include "transfer/transfer_client.h"
#include "transfer/transfer_frame.h"

namespace {

using namespace pigeonbox;

struct Options {
  uint16_t appserverPort = 0;
  uint16_t transferPort = 0;
  int pid = 0;
  std::u16string app = u"AppOffMsg";
  long frames = 1000000;
  long sample = 50000;
  uint32_t seed = 0x5eed;
};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "junk_soak: %s\n", what.c_str());
  std::exit(1);
}

// The server's resident memory: all of it, and the anonymous part (heap and stacks, without
// the pages of its executable and libraries).
struct Resident {
  long totalKb = 0;
  long anonKb = 0;
};

Resident ResidentOf(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  if (!status) Die("the server is gone");
  Resident r;
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") status >> r.totalKb;
    if (word == "RssAnon:") status >> r.anonKb;
  }
  return r;
}

void PrintSample(long frames, int pid) {
  const Resident r = ResidentOf(pid);
  std::printf("%ld,%ld,%ld\n", frames, r.totalKb, r.anonKb);
  std::fflush(stdout);
}

std::u16string RandomText(std::mt19937& rng, size_t maxLength) {
  std::u16string text(rng() % (maxLength + 1), u' ');
  for (char16_t& c : text) {
    // Mostly ASCII, some CJK, now and then a lone surrogate or a zero.
    const uint32_t pick = rng() % 100;
    c = pick < 80   ? static_cast<char16_t>(0x20 + rng() % 95)
        : pick < 95 ? static_cast<char16_t>(0x4e00 + rng() % 0x5000)
                    : static_cast<char16_t>(rng() % 2 ? 0xd800 + rng() % 0x800 : 0);
  }
  return text;
}

constexpr std::u16string_view kCommands[] = {
    u"GET_OFFMSG_SUM", u"GET_OFFMSG_SUM_3",  u"GET_OFFMSG_INDEX",        u"GET_OFFMSG_INDEX_3",
    u"GET_OFFMSG_TXT", u"GET_OFFMSG_TXT_EX", u"GET_OFFMSG_TXT_EX2",      u"GET_OFFMSG_TXT_EX3",
    u"DEL_OFFMSG",     u"DEL_OFFMSG_TIME",   u"GET_OFFMSG_SERVERCONFIG", u"NO_SUCH_COMMAND"};

// One junk request: random text, a cut or broken envelope, or an envelope with a known or
// unknown command and random items.
UserMessage JunkRequest(std::mt19937& rng, const std::u16string& app) {
  UserMessage message{RandomText(rng, 8), u"OffMsg_Query", app, app, u"", 0};
  WideEnvelope envelope;
  envelope.SetItem(u"Command", kTypeString,
                   std::u16string(kCommands[rng() % std::size(kCommands)]));
  const int items = static_cast<int>(rng() % 6);
  for (int i = 0; i < items; ++i) {
    constexpr std::u16string_view kKeys[] = {u"MsgID",          u"CommandEx", u"CommandSDK",
                                             u"CommandSDKTime", u"IMTime",    u"Title"};
    envelope.SetItem(std::u16string(kKeys[rng() % std::size(kKeys)]),
                     rng() % 2 ? kTypeString : kTypeLong, RandomText(rng, 40));
  }
  const std::u16string whole = envelope.Text();
  switch (rng() % 4) {
    case 0:
      message.data = RandomText(rng, rng() % 10 == 0 ? 6000 : 600);
      break;
    case 1:
      message.data = whole.substr(0, rng() % (whole.size() + 1));
      break;
    case 2:
      message.data = whole;
      message.data[rng() % message.data.size()] = static_cast<char16_t>(rng() % 128);
      break;
    default:
      message.data = whole;
  }
  if (rng() % 20 == 0) message.type = RandomText(rng, 16);
  return message;
}

// A GET_OFFMSG_SERVERCONFIG, always answered; its answer shows that the junk this user sent
// before it has been handled (a user's messages are handled in order).
bool Probe(AppServerUser& user, const std::u16string& app) {
  WideEnvelope envelope;
  envelope.SetItem(u"Command", kTypeString, u"GET_OFFMSG_SERVERCONFIG");
  if (user.Send(UserMessage{u"probe", u"OffMsg_Query", app, app, envelope.Text(), 0}) != 0) {
    return false;
  }
  for (;;) {
    std::optional<UserDelivery> reply = user.Receive(std::chrono::seconds(600));
    if (!reply) return false;
    if (reply->route[0] == u"probe") return true;
  }
}

void ServicePhase(const Options& options, std::mt19937& rng) {
  // Users on several delivery lanes of the server, as many clients would be.
  constexpr int kUsers = 16;
  std::vector<std::unique_ptr<AppServerUser>> junk;
  std::u16string error;
  for (int i = 0; i < kUsers; ++i) {
    junk.push_back(std::make_unique<AppServerUser>());
    if (junk.back()->Login("127.0.0.1", options.appserverPort,
                           u"junk" + FromUtf8(std::to_string(i)), &error) != 0) {
      Die("cannot log in: " + ToUtf8(error));
    }
  }
  std::printf("service frames,rss_kb,anon_kb\n");
  PrintSample(0, options.pid);
  for (long sent = 1; sent <= options.frames; ++sent) {
    AppServerUser& user = *junk[sent % kUsers];
    if (user.Send(JunkRequest(rng, options.app)) != 0) Die("the application server is gone");
    while (user.Receive(std::chrono::milliseconds(0))) {
    }
    if (sent % options.sample == 0) {
      for (auto& each : junk) {
        if (!Probe(*each, options.app)) Die("no answer to the probe");
      }
      PrintSample(sent, options.pid);
    }
  }
}

// One junk frame for the transfer port: random bytes behind a valid length, a frame with a
// random command and body, a session start with random ticket bytes, or a length outside
// 3..4096 (the server then closes the connection).
std::string JunkFrame(std::mt19937& rng) {
  const uint32_t kind = rng() % 100;
  if (kind < 2) return std::string("\x02\xff\xff", 3);
  PacketBuffer frame;
  if (kind < 40) {
    const int length = 3 + static_cast<int>(rng() % 200);
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    bytes[0] = 0x02;
    bytes[1] = static_cast<char>(length >> 8);
    bytes[2] = static_cast<char>(length & 0xff);
    return bytes;
  }
  BeginFrame(frame, kind < 80 ? kSessionStartCommand : static_cast<uint16_t>(rng() % 8));
  std::string body(rng() % 300, '\0');
  for (char& c : body) c = static_cast<char>(rng());
  frame.PutBytes(body.data(), body.size());
  const int length = SealFrame(frame);
  return std::string(reinterpret_cast<const char*>(frame.data), length);
}

void TransferPhase(const Options& options, std::mt19937& rng) {
  constexpr int kConnections = 32;
  std::vector<std::unique_ptr<TransferClient>> clients(kConnections);
  std::string error;
  auto reconnect = [&](int i) {
    clients[i] = std::make_unique<TransferClient>();
    if (!clients[i]->Connect("127.0.0.1", options.transferPort, &error)) Die(error);
  };
  for (int i = 0; i < kConnections; ++i) reconnect(i);
  std::printf("transfer frames,rss_kb,anon_kb\n");
  PrintSample(0, options.pid);
  for (long sent = 1; sent <= options.frames; ++sent) {
    const int i = static_cast<int>(sent % kConnections);
    const std::string frame = JunkFrame(rng);
    if (!clients[i]->SendBytes(frame.data(), frame.size())) reconnect(i);
    // Replies are drained now and then; a connection the server closed is opened again.
    if (sent % 64 == 0) {
      for (int c = 0; c < kConnections; ++c) {
        char sink[4096];
        ssize_t n;
        while ((n = recv(clients[c]->fd(), sink, sizeof sink, MSG_DONTWAIT)) > 0) {
        }
        if (n == 0) reconnect(c);
      }
    }
    if (sent % options.sample == 0) {
      // A fresh connection's session start answered with a refusal: the server keeps up.
      TransferClient probe;
      if (!probe.Connect("127.0.0.1", options.transferPort, &error)) Die(error);
      PacketBuffer start;
      BeginFrame(start, kSessionStartCommand);
      start.PutU16(0);
      start.PutU16(0);
      SealFrame(start);
      PacketBuffer reply;
      if (!probe.SendFrame(start) || !probe.ReceiveFrame(&reply, 30000)) {
        Die("no answer to the probe");
      }
      PrintSample(sent, options.pid);
    }
  }
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--appserver-port")
      options.appserverPort = static_cast<uint16_t>(atoi(value));
    else if (flag == "--transfer-port")
      options.transferPort = static_cast<uint16_t>(atoi(value));
    else if (flag == "--pid")
      options.pid = atoi(value);
    else if (flag == "--app")
      options.app = FromUtf8(value);
    else if (flag == "--frames")
      options.frames = atol(value);
    else if (flag == "--sample")
      options.sample = atol(value);
    else if (flag == "--seed")
      options.seed = static_cast<uint32_t>(strtoul(value, nullptr, 0));
    else
      Die("unknown option " + flag);
  }
  if (options.appserverPort == 0 || options.transferPort == 0 || options.pid == 0 ||
      options.frames <= 0 || options.sample <= 0) {
    Die("usage: junk_soak --appserver-port P --transfer-port T --pid PID [--app NAME] "
        "[--frames N] [--sample S] [--seed X]");
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  std::mt19937 rng(options.seed);
  ServicePhase(options, rng);
  TransferPhase(options, rng);
  return 0;
}
