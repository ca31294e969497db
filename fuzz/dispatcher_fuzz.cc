// Fuzzes the offline-message service with delivered messages: arbitrary packets, and packets
// with well-formed framing around arbitrary routing texts, envelopes and receiver lists, on both
// the store path and the command path. Nothing may crash, and nothing may appear in the install
// root outside the directories the server writes.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "base/clock.h"
#include "link/wire/packet_buffer.h"
#include "offmsg/offmsg_service.h"
#include "service/log_file.h"
#include "store/file_system.h"

namespace {

using namespace pigeonbox;

class QuietOwner final : public LinkOwner {
 public:
  bool IsRequestType(std::u16string_view type) const override {
    return type == u"Quorvel.KVT.IM" || type == u"Quorvel.KVT.Sms";
  }
  int32_t SendTextReply(std::u16string_view, std::u16string_view, std::u16string_view,
                        std::u16string_view, std::u16string_view) override {
    return result;
  }
  int32_t SendDataReply(std::u16string_view, std::u16string_view, std::u16string_view,
                        std::u16string_view, const void*, uint32_t) override {
    return result;
  }
  int32_t result = 0;
};

class NoSleep final : public Sleeper {
 public:
  void Sleep(std::chrono::milliseconds) override {}
};

class Everyone final : public UserDatabase {
 public:
  Answer Query(std::u16string_view) override { return Answer::kExists; }
  Answer AnyActiveUser() override { return Answer::kExists; }
};

struct World {
  std::string root;
  PosixFileSystem fs;
  LogFile log;
  ManualClock clock{1700000000};
  NoSleep sleeper;
  QuietOwner owner;
  std::unique_ptr<OffMsgService> service;
  int runs = 0;

  World() {
    char pattern[] = "/tmp/pigeonbox-dispatcher-fuzz-XXXXXX";
    root = std::string(mkdtemp(pattern)) + "/";
    std::filesystem::create_directories(root + "Config");
    std::ofstream(root + "Config/KVTServer.xml")
        << "<KVTServers><DBServer><DB_Setting DBConnstring=\"DSN=x\"/></DBServer></KVTServers>";
    log.Open(root + "Logs", "Pigeonbox.log");
    Restart();
  }

  ~World() {
    if (service) service->Stop();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  // A fresh store now and then keeps the files small over long runs.
  void Restart() {
    if (service) service->Stop();
    service.reset();
    std::filesystem::remove_all(root + "OffMsg");
    std::ofstream(root + "Logs/Pigeonbox.log", std::ios::trunc);
    OffMsgServiceEnv env;
    env.installRoot = root;
    env.settings = ReadServerSettings(root).offmsg;
    env.fs = &fs;
    env.log = &log;
    env.clock = &clock;
    env.sleeper = &sleeper;
    env.openDatabase = [](const std::string&, LogFile&) -> std::unique_ptr<UserDatabase> {
      return std::make_unique<Everyone>();
    };
    service = std::make_unique<OffMsgService>(owner, env);
    if (service->Start() != 1) std::abort();
  }

  void CheckRoot() {
    static const std::set<std::string> kAllowed = {"Config", "Logs", "OffMsg"};
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
      if (!kAllowed.count(entry.path().filename().string())) std::abort();
    }
  }
};

// Splits the input into UTF-16 fields separated by the unit 0xFFFF.
std::vector<std::u16string> Fields(const uint8_t* data, size_t size) {
  std::vector<std::u16string> fields(1);
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0xFFFF) {
      fields.emplace_back();
    } else {
      fields.back() += unit;
    }
  }
  fields.resize(std::max<size_t>(fields.size(), 6));
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  if (size == 0) return 0;
  if (++world.runs % 5000 == 0) world.Restart();
  const uint8_t mode = data[0];
  world.owner.result = (mode & 4) ? -1 : 0;  // failed sends keep messages
  PacketBuffer packet;
  std::u16string receivers;
  if ((mode & 1) == 0) {
    // Raw bytes as the packet, header included.
    if (size - 1 < 13) return 0;
    packet.Load(data + 1, std::min<size_t>(size - 1, 4096));
  } else {
    std::vector<std::u16string> f = Fields(data + 1, size - 1);
    packet.PutText(f[0]);
    packet.PutText((mode & 2) ? u"Quorvel.KVT.IM" : f[1]);
    packet.PutText(f[2]);
    packet.PutText(f[3]);
    packet.PutU32(0);
    packet.PutText(f[4]);
    receivers = f[5];
  }
  packet.Rewind();
  world.service->HandleMessage(packet, receivers);
  world.CheckRoot();
  return 0;
}
