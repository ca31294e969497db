// A running OffMsgService over a real store in a temporary install root, with a link double
// that records every reply and a sleeper that counts the pauses.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "link/wire/envelope.h"
#include "offmsg/offmsg_service.h"
#include "offmsg/reply_forms.h"
#include "testutil/temp_dir.h"

namespace pigeonbox::testutil {

struct RecordedReply {
  bool isText = false;
  std::u16string r1, r2, r3, r4;
  std::u16string text;  // text replies
  std::string bytes;    // data replies

  // The items of an envelope reply (text, or UTF-16LE bytes of an object envelope).
  std::u16string Item(std::u16string_view key) const {
    NarrowEnvelope envelope;
    const std::u16string body =
        isText ? text
               : TextFromUtf16LeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    envelope.Load(body);
    std::u16string value = u"<missing>";
    envelope.GetStringW(key, &value);
    return value;
  }
};

class RecordingOwner final : public LinkOwner {
 public:
  bool IsRequestType(std::u16string_view type) const override {
    return EqualsIgnoreAsciiCase(type, u"Quorvel.KVT.IM") ||
           EqualsIgnoreAsciiCase(type, u"Quorvel.KVT.Sms");
  }
  int32_t SendTextReply(std::u16string_view r1, std::u16string_view r2, std::u16string_view r3,
                        std::u16string_view r4, std::u16string_view text) override {
    replies.push_back({true,
                       std::u16string(r1),
                       std::u16string(r2),
                       std::u16string(r3),
                       std::u16string(r4),
                       std::u16string(text),
                       {}});
    if (afterSend) afterSend();
    return sendResult;
  }
  int32_t SendDataReply(std::u16string_view r1, std::u16string_view r2, std::u16string_view r3,
                        std::u16string_view r4, const void* data, uint32_t length) override {
    replies.push_back({false,
                       std::u16string(r1),
                       std::u16string(r2),
                       std::u16string(r3),
                       std::u16string(r4),
                       {},
                       std::string(static_cast<const char*>(data), length)});
    if (afterSend) afterSend();
    return sendResult;
  }

  std::vector<RecordedReply> replies;
  int32_t sendResult = 0;
  // Runs after each reply is recorded, as if more happened while the replies go out.
  std::function<void()> afterSend;
};

class CountingSleeper final : public Sleeper {
 public:
  void Sleep(std::chrono::milliseconds duration) override { pauses.push_back(duration); }
  std::vector<std::chrono::milliseconds> pauses;
};

class EveryoneExists final : public UserDatabase {
 public:
  Answer Query(std::u16string_view) override { return Answer::kExists; }
  Answer AnyActiveUser() override { return Answer::kExists; }
};

// The service's surroundings for a test root: the settings its files give, every user existing.
inline OffMsgServiceEnv TestServiceEnv(const std::string& root, FileSystem& fs, LogFile& log,
                                       const Clock& clock, Sleeper& sleeper) {
  OffMsgServiceEnv env;
  env.installRoot = root;
  env.settings = ReadServerSettings(root).offmsg;
  env.fs = &fs;
  env.log = &log;
  env.clock = &clock;
  env.sleeper = &sleeper;
  env.openDatabase = [](const std::string&, LogFile&) -> std::unique_ptr<UserDatabase> {
    return std::make_unique<EveryoneExists>();
  };
  return env;
}

using Items = std::vector<std::pair<std::u16string, std::u16string>>;

inline std::u16string EnvelopeOf(const Items& items) {
  NarrowEnvelope envelope;
  for (const auto& [key, value] : items) envelope.SetItem(key, kTypeString, value);
  return FromAnsi(envelope.Text());
}

// A big-endian 32-bit integer of a packet reply.
inline std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// The Addr of the person index entry with this MsgID, from the index files below `root`.
inline uint32_t IndexAddrOf(const std::string& root, std::u16string_view msgId) {
  for (const auto& file : std::filesystem::recursive_directory_iterator(root)) {
    if (file.path().extension() != ".xml") continue;
    std::ifstream in(file.path());
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::smatch match;
    const std::regex entry("Addr=\"(\\d+)\"[^\\n]*MsgID=\"" + ToUtf8(msgId) + "\"");
    if (std::regex_search(text, match, entry)) return std::stoul(match[1]);
  }
  ADD_FAILURE() << "no index entry " << ToUtf8(msgId);
  return 0;
}

class ServiceTest : public ::testing::Test {
 protected:
  static constexpr int64_t kNow = 1700000000;
  static constexpr char16_t kService[] = u"OffMsgSvc";

  ServiceTest() {
    dir_.Write("Config/KVTServer.xml",
               "<KVTServers><DBServer><DB_Setting DBConnstring=\"DSN=users\"/></DBServer>"
               "</KVTServers>");
    log_.Open(dir_.path() + "Logs", "Pigeonbox.log");
  }
  ~ServiceTest() override {
    if (service_) service_->Stop();
  }

  OffMsgServiceEnv Env() { return TestServiceEnv(dir_.path(), fs_, log_, clock_, sleeper_); }
  void StartService() {
    service_ = std::make_unique<OffMsgService>(owner_, Env());
    ASSERT_EQ(service_->Start(), 1);
  }

  int Deliver(std::u16string_view type, std::u16string_view sender, std::u16string_view data,
              std::u16string_view receivers = u"") {
    PacketBuffer packet;
    packet.PutText(u"src-1");
    packet.PutText(type);
    packet.PutText(sender);
    packet.PutText(kService);
    packet.PutU32(7);
    packet.PutText(data);
    return service_->HandleMessage(packet, receivers);
  }
  int StoreMessage(std::u16string_view receivers, std::u16string_view data,
                   std::u16string_view sender = u"sam") {
    return Deliver(u"Quorvel.KVT.IM", sender, data, receivers);
  }
  int Request(std::u16string_view user, const Items& items) {
    return Deliver(u"Quorvel.KVT.OffMsg", user, EnvelopeOf(items));
  }
  // Count of GET_OFFMSG_SUM (optionally in the group form); 0 when no reply came.
  int CountOf(std::u16string_view user, bool group = false) {
    owner_.replies.clear();
    Items items = {{u"Command", u"GET_OFFMSG_SUM"}};
    if (group) items.push_back({u"CommandEx", u"GET_DISGROUP_OFFMSG_SUM"});
    Request(user, items);
    const int count = owner_.replies.empty() ? 0 : ParseDecimal(owner_.replies[0].Item(u"Count"));
    owner_.replies.clear();
    return count;
  }
  std::string LogText() { return dir_.Read("Logs/Pigeonbox.log"); }

  TempDir dir_;
  PosixFileSystem fs_;
  ManualClock clock_{kNow};
  LogFile log_{clock_};
  CountingSleeper sleeper_;
  RecordingOwner owner_;
  std::unique_ptr<OffMsgService> service_;
};

}  // namespace pigeonbox::testutil
