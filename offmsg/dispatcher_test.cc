// The dispatcher: decoding, the store path, the command table and the small commands, end to end
// through HandleMessage over a real store.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <random>
#include <regex>
#include <stop_token>
#include <thread>

#include "offmsg/count_index_replies.h"
#include "offmsg/receiver_summary.h"
#include "offmsg/store_path.h"
#include "testutil/offmsg/service_fixture.h"
#include "testutil/wait_until.h"

namespace pigeonbox::testutil {
namespace {

std::string Utf16Le(std::u16string_view text) {
  return ToUtf16LeBytes(text);
}

class DispatcherTest : public ServiceTest {
 protected:
  void SetUp() override { StartService(); }

  std::vector<RecordedReply> Index(std::u16string_view user, bool group = false) {
    owner_.replies.clear();
    Items items = {{u"Command", u"GET_OFFMSG_INDEX"}};
    if (group) items.push_back({u"CommandEx", u"get_disgroup_offmsg_index"});
    Request(user, items);
    return std::exchange(owner_.replies, {});
  }
};

TEST_F(DispatcherTest, MalformedPacketsAreDroppedSilently) {
  PacketBuffer tiny;
  ASSERT_TRUE(tiny.Load(std::string(14, '\1').data(), 14));
  EXPECT_EQ(service_->HandleMessage(tiny, u"alice"), 0);

  PacketBuffer emptyType;  // text 2 announces 0 bytes
  emptyType.PutText(u"src");
  emptyType.PutU16(0);
  emptyType.PutText(u"sam");
  emptyType.PutText(kService);
  emptyType.PutU32(0);
  emptyType.PutText(kEmptyEnvelope);
  EXPECT_EQ(service_->HandleMessage(emptyType, u"alice"), 0);

  PacketBuffer cut;  // the data text runs past the end
  cut.PutText(u"src");
  cut.PutText(u"Quorvel.KVT.IM");
  cut.PutText(u"sam");
  cut.PutText(kService);
  cut.PutU32(0);
  cut.PutU16(200);
  EXPECT_EQ(service_->HandleMessage(cut, u"alice"), 0);

  EXPECT_EQ(CountOf(u"alice"), 0);
  EXPECT_TRUE(owner_.replies.empty());
}

TEST_F(DispatcherTest, CutAndDamagedPacketsNeverReadPastTheirEnd) {
  PacketBuffer whole;
  whole.PutText(u"src");
  whole.PutText(u"Quorvel.KVT.OffMsg");
  whole.PutText(u"alice");
  whole.PutText(kService);
  whole.PutU32(0);
  whole.PutText(EnvelopeOf({{u"Command", u"GET_OFFMSG_INDEX_3"}}));
  StoreMessage(u"alice", kEmptyEnvelope);
  std::mt19937 random(1);  // every other cut is damaged too
  for (uint32_t size = PacketBuffer::kHeaderSize; size <= whole.Size(); ++size) {
    std::string bytes(reinterpret_cast<const char*>(whole.Data()), size);
    if (size % 2 && size > PacketBuffer::kHeaderSize && size < whole.Size()) {
      bytes[PacketBuffer::kHeaderSize + random() % (size - PacketBuffer::kHeaderSize)] ^=
          static_cast<char>(1 + random() % 255);
    }
    PacketBuffer packet;
    ASSERT_TRUE(packet.Load(bytes.data(), bytes.size()));
    service_->HandleMessage(packet, u"alice");
  }
  // Only the whole packet is a request.
  EXPECT_EQ(owner_.replies.size(), 1u);
}

TEST_F(DispatcherTest, EmptyEnvelopeIsStoredWithAGeneratedMsgId) {
  EXPECT_EQ(StoreMessage(u"alice", kEmptyEnvelope), 1);
  const std::vector<RecordedReply> index = Index(u"alice");
  ASSERT_EQ(index.size(), 1u);
  const std::regex guid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(ToUtf8(index[0].Item(u"MsgID")), guid));
  EXPECT_EQ(index[0].Item(u"Title"), u"");
  EXPECT_EQ(index[0].Item(u"SessionDescription"), u"");
  EXPECT_EQ(index[0].Item(u"CreateTime"), u"1700000000");
  // The reply goes back along the request's routing: from this service to the user.
  EXPECT_EQ(index[0].r3, kService);
  EXPECT_EQ(index[0].r4, u"alice");
}

// Ids come from a block of random bytes per thread: a forked child must not go on with the
// parent's block, or both would hand out the same ids.
TEST(MessageIdTest, AForkedChildDoesNotRepeatItsParentsIds) {
  const std::u16string first = NewMessageId();
  EXPECT_NE(NewMessageId(), first);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string id = ToUtf8(NewMessageId());
    _exit(write(fds[1], id.data(), id.size()) == static_cast<ssize_t>(id.size()) ? 0 : 1);
  }
  close(fds[1]);
  char text[64];
  const ssize_t got = read(fds[0], text, sizeof text);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(got, 36);
  EXPECT_NE(std::string(text, 36), ToUtf8(NewMessageId()));
}

TEST_F(DispatcherTest, ReceiverListsAndExcludedUsers) {
  EXPECT_EQ(StoreMessage(u"alice;;bob;", kEmptyEnvelope), 1);
  EXPECT_EQ(CountOf(u"alice"), 1);
  EXPECT_EQ(CountOf(u"bob"), 1);
  EXPECT_EQ(StoreMessage(u"", kEmptyEnvelope), 1);

  // With OuterIM a piece is "name[digits]" of at least 10 characters.
  const std::u16string outer = EnvelopeOf({{u"OuterIM", u"1"}});
  EXPECT_EQ(StoreMessage(u"carol[12345];dan[1]", outer), 1);
  EXPECT_EQ(CountOf(u"carol"), 1);
  EXPECT_EQ(CountOf(u"dan"), 0);
  EXPECT_EQ(SplitReceivers(u"erin[1234567890];frank12345", true),
            std::vector<std::u16string>{u"frank12345"});

  service_->Stop();
  dir_.Write("invaliduser.txt", "mallory\r\n");
  StartService();
  EXPECT_TRUE(service_->IsExcludedUser(u"MALLORY"));
  StoreMessage(u"MALLORY;gina", kEmptyEnvelope);
  EXPECT_EQ(CountOf(u"mallory"), 0);
  EXPECT_EQ(CountOf(u"gina"), 1);
}

TEST_F(DispatcherTest, GroupMessageCarriesTheReceiverSummary) {
  const std::u16string group =
      EnvelopeOf({{u"DisGroupId", u"g1"}, {u"Key", u"M1"}, {u"Title", u"hello"}});
  EXPECT_EQ(StoreMessage(u"a1;b1;c1;d1;e1", group), 1);
  EXPECT_EQ(CountOf(u"a1"), 0);  // not a person message
  EXPECT_EQ(CountOf(u"e1", true), 1);
  const std::vector<RecordedReply> index = Index(u"a1", true);
  ASSERT_EQ(index.size(), 1u);
  EXPECT_NE(index[0].Item(u"Reciever").find(u"a1;b1;c1;d1; ..."), std::u16string::npos);
  EXPECT_EQ(index[0].Item(u"MsgID"), u"M1");
  EXPECT_EQ(index[0].Item(u"Title"), u"hello");

  EXPECT_EQ(ReceiverSummary({u"a", u"b"}), u"a;b;");
  EXPECT_EQ(ReceiverSummary({std::u16string(200, u'x'), std::u16string(200, u'y')}).size(),
            kReceiverSummaryUnits);
}

TEST_F(DispatcherTest, WordLimitQuestionOfTheSmsApplicationIsNotStored) {
  EXPECT_EQ(
      Deliver(u"quorvel.kvt.SMS", u"sam", EnvelopeOf({{u"Command", u"getwordlimit"}}), u"alice"),
      1);
  EXPECT_EQ(CountOf(u"alice"), 0);
  Deliver(u"Quorvel.KVT.Sms", u"sam", EnvelopeOf({{u"Command", u"Send"}}), u"alice");
  EXPECT_EQ(CountOf(u"alice"), 1);
  EXPECT_TRUE(owner_.replies.empty());
}

TEST_F(DispatcherTest, PacketRepliesByteForByte) {
  StoreMessage(u"alice", EnvelopeOf({{u"Key", u"M1"}}));
  StoreMessage(u"alice", EnvelopeOf({{u"Key", u"M2"}}));
  Request(u"alice", {{u"Command", u"GET_OFFMSG_SUM_3"}});
  ASSERT_EQ(owner_.replies.size(), 1u);
  EXPECT_EQ(owner_.replies[0].bytes,
            "\x22" + Utf16Le(u"GET_OFFMSG_SUM_3") + std::string(1, '\0') + Be32(2));

  dir_.Write("BInfo.ini", "[offmsglocalmode]\r\n isenable = 1\r\n");
  service_->Stop();
  StartService();
  owner_.replies.clear();
  Request(u"alice", {{u"command", u"get_offmsg_serverconfig"}});
  ASSERT_EQ(owner_.replies.size(), 1u);
  EXPECT_EQ(owner_.replies[0].bytes.size(), 54u);
  EXPECT_EQ(owner_.replies[0].bytes,
            "\x30" + Utf16Le(u"GET_OFFMSG_SERVERCONFIG") + std::string(1, '\0') + Be32(1));
}

TEST_F(DispatcherTest, ShortTextLengthWrapsAtByteSize) {
  ReplyPacket packet;
  PutShortText(&packet, std::u16string(126, u'a'));
  EXPECT_EQ(packet.Size(), 1u + 254u);
  EXPECT_EQ(packet.data[0], 254);
  ReplyPacket wrapped;
  PutShortText(&wrapped, std::u16string(127, u'a'));
  EXPECT_EQ(wrapped.Size(), 1u);
  EXPECT_EQ(wrapped.data[0], 0);
  ReplyPacket empty;
  PutShortText(&empty, u"");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(empty.data), empty.Size()),
            std::string("\x02\0\0", 3));
}

TEST(ReplyFormsTest, TextWithoutZeroUnitIsCutAtTheBufferEnd) {
  const uint8_t bytes[] = {'a', 0, 'b', 0, 'c'};
  EXPECT_EQ(TextFromUtf16LeBytes(bytes, sizeof bytes), u"ab");
  const uint8_t zero[] = {'a', 0, 0, 0, 'b', 0};
  EXPECT_EQ(TextFromUtf16LeBytes(zero, sizeof zero), u"a");
}

TEST_F(DispatcherTest, IndexRepliesInEveryForm) {
  StoreMessage(u"alice", EnvelopeOf({{u"Key", u"M1"},
                                     {u"Title", std::u16string(850, u't')},
                                     {u"SessionDescription", std::u16string(850, u's')}}));
  StoreMessage(u"alice", EnvelopeOf({{u"Key", u"M2"}, {u"DisGroupId", u"g"}}));
  const std::vector<RecordedReply> plain = Index(u"alice");
  ASSERT_EQ(plain.size(), 1u);  // the person entry only
  EXPECT_EQ(plain[0].text.size(), 1791u);

  Request(u"alice", {{u"Command", u"GET_OFFMSG_INDEX_3"}, {u"CommandEx", u"other"}});
  ASSERT_EQ(owner_.replies.size(), 1u);
  const std::string& bytes = owner_.replies[0].bytes;
  EXPECT_EQ(bytes.substr(0, 40), "\x26" + Utf16Le(u"GET_OFFMSG_INDEX_3") + std::string(1, '\0'));
  EXPECT_EQ(bytes.substr(40, 7), "\x06" + Utf16Le(u"M1"));
  EXPECT_EQ(bytes.substr(bytes.size() - 6), std::string("\0\x01", 2) + Be32(1700000000));
  owner_.replies.clear();

  Request(u"alice", {{u"Command", u"GET_OFFMSG_INDEX_3"},
                     {u"CommandEx", u"get_disgroup_offmsg_index"},
                     {u"CommandSDK", u"1"}});
  ASSERT_EQ(owner_.replies.size(), 2u);
  EXPECT_EQ(owner_.replies[1].Item(u"MsgID"), u"M2");
  EXPECT_EQ(owner_.replies[1].Item(u"Result"), u"0");
  EXPECT_EQ(owner_.replies[1].Item(u"Type"), u"<missing>");
  EXPECT_EQ(owner_.replies[1].bytes.substr(owner_.replies[1].bytes.size() - 2),
            std::string(2, '\0'));
}

// A GET_OFFMSG_INDEX_3 packet goes out only when it carries every element whole: the longest
// Reciever that fits gives the reply byte for byte, one unit more gives no reply and one log line
// (before, the Reciever's length went out without its bytes and the later elements after it).
TEST_F(DispatcherTest, AnIndexPacketThatDoesNotFitIsNotSent) {
  IndexRecord entry;
  entry.MsgID = u"m1";
  entry.SrcIdentifier = u"src";
  entry.Title = u"t";
  entry.Count = 3;
  entry.CreateTime = 1700000000;
  const RequestRecord request{u"src-1", u"Quorvel.KVT.OffMsg", kService, u"alice"};
  // 2n + 74 bytes: the longest even size below the 4096-byte capacity is 4094.
  entry.Reciever = std::u16string(2010, u'r');
  EXPECT_EQ(SendIndex3Packet(owner_, request, entry, log_), 0);
  ASSERT_EQ(owner_.replies.size(), 1u);
  EXPECT_EQ(owner_.replies[0].bytes, "\x26" + Utf16Le(u"GET_OFFMSG_INDEX_3") +
                                         std::string(1, '\0') + "\x06" + Utf16Le(u"m1") + "\x08" +
                                         Utf16Le(u"src") + "\x0f\xb6" + Utf16Le(entry.Reciever) +
                                         "\x04" + Utf16Le(u"t") + "\x02" + Utf16Le(u"") +
                                         std::string("\0\x03", 2) + Be32(1700000000));
  EXPECT_EQ(owner_.replies[0].bytes.size(), 4094u);

  entry.Reciever.push_back(u'r');
  EXPECT_EQ(SendIndex3Packet(owner_, request, entry, log_), kReplyDoesNotFit);
  EXPECT_EQ(owner_.replies.size(), 1u);
  EXPECT_NE(LogText().find("Index reply does not fit its form, not sent,Owner=alice,MsgID=m1,"
                           "Command=GET_OFFMSG_INDEX_3,Size=4096,Capacity=4095"),
            std::string::npos);
}

TEST_F(DispatcherTest, UnknownOrMissingCommandsDoNothing) {
  StoreMessage(u"alice", kEmptyEnvelope);
  EXPECT_EQ(Request(u"alice", {{u"Command", u"GET_OFFMSG_SUMX"}}), 0);
  EXPECT_EQ(Request(u"alice", {{u"MsgID", u"x"}}), 0);
  EXPECT_EQ(Request(u"alice", {{u"Command", u"DEL_OFFMSG"}}), 0);
  EXPECT_TRUE(owner_.replies.empty());
  EXPECT_EQ(CountOf(u"alice"), 1);
}

TEST_F(DispatcherTest, DeletionByTimeAtTheExactBound) {
  StoreMessage(u"alice", EnvelopeOf({{u"Key", u"M1"}}));
  StoreMessage(u"alice", EnvelopeOf({{u"Key", u"M2"}}));
  const uint32_t addr = IndexAddrOf(dir_.path(), u"M2");
  ASSERT_GT(addr, 0u);
  const auto byTime = [&](uint32_t maxAddr, bool withDisAddr) {
    Items items = {{u"Command", u"DEL_OFFMSG_TIME"},
                   {u"MsgID", u"m2"},
                   {u"MaxIMTime", u"1700000000"},
                   {u"MaxIMAddr", DecimalText(maxAddr)},
                   {u"MaxDisTime", u"0"}};
    if (withDisAddr) items.push_back({u"MaxDisAddr", u"0"});
    owner_.replies.clear();
    const int result = Request(u"alice", items);
    EXPECT_TRUE(owner_.replies.empty());  // the deletion is not answered
    return result;
  };
  EXPECT_EQ(byTime(addr, false), 0);
  EXPECT_EQ(byTime(addr - 1, true), 1);
  EXPECT_EQ(CountOf(u"alice"), 2);
  EXPECT_EQ(byTime(addr, true), 1);
  EXPECT_EQ(CountOf(u"alice"), 1);
  EXPECT_EQ(Request(u"alice", {{u"Command", u"DEL_OFFMSG"}, {u"MsgID", u"M1"}}), 1);
  EXPECT_EQ(CountOf(u"alice"), 0);
}

TEST(OffMsgServiceStartTest, StartNeedsTheDatabase) {
  TempDir dir;
  ManualClock clock(0);
  LogFile log(clock);
  log.Open(dir.path() + "Logs", "Pigeonbox.log");
  PosixFileSystem fs;
  RecordingOwner owner;
  OffMsgServiceEnv env{dir.path(), &fs, &log, &clock, nullptr, nullptr};
  bool opened = false;
  env.openDatabase = [&](const std::string& connection, LogFile&) {
    opened = connection == "DSN=users";
    return std::unique_ptr<UserDatabase>();
  };
  {
    OffMsgService service(owner, env);
    EXPECT_EQ(service.Start(), 0);
    EXPECT_NE(dir.Read("Logs/Pigeonbox.log").find("初始化数据库失败"), std::string::npos);
  }
  dir.Write("Config/KVTServer.xml",
            "<KVTServers><DBServer><DB_Setting DBConnstring=\"DSN=users\"/></DBServer>"
            "</KVTServers>");
  dir.Write("AppConfig/AppOffMsg.xml", "<App><Setting bOpenLimit=\"1\" Mode=\"daily\"/></App>");
  env.settings = ReadServerSettings(dir.path()).offmsg;
  OffMsgService failing(owner, env);
  EXPECT_EQ(failing.Start(), 0);
  EXPECT_TRUE(opened);

  env.openDatabase = [](const std::string&, LogFile&) -> std::unique_ptr<UserDatabase> {
    return std::make_unique<EveryoneExists>();
  };
  OffMsgService running(owner, env);
  EXPECT_TRUE(running.sweepEnabled());
  EXPECT_EQ(running.shrinkSettings().mode, u"daily");
  EXPECT_EQ(running.Start(), 1);
  running.Stop();  // the night jobs wake and end at once
}

// A user database whose every question hangs until released.
struct HangingUsers final : public UserDatabase {
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
  };
  explicit HangingUsers(std::shared_ptr<Gate> gate) : gate(std::move(gate)) {}
  Answer Query(std::u16string_view) override { return Hang(Answer::kMissing); }
  Answer AnyActiveUser() override { return Hang(Answer::kExists); }
  Answer Hang(Answer answer) {
    std::unique_lock lock(gate->mutex);
    gate->entered = true;
    gate->changed.notify_all();
    gate->changed.wait(lock, [&] { return gate->released; });
    return answer;
  }
  std::shared_ptr<Gate> gate;
};

TEST_F(ServiceTest, AStopDoesNotWaitForASweepHangingInTheDatabase) {
  setenv("TZ", "UTC", 1);
  tzset();
  dir_.Write("AppConfig/AppOffMsg.xml", "<App><Setting bOpenLimit=\"1\"/></App>");
  auto gate = std::make_shared<HangingUsers::Gate>();
  OffMsgServiceEnv env = Env();
  env.nightJobInterval = std::chrono::milliseconds(10);
  env.openDatabase = [gate](const std::string&, LogFile&) -> std::unique_ptr<UserDatabase> {
    return std::make_unique<HangingUsers>(gate);
  };
  service_ = std::make_unique<OffMsgService>(owner_, env);
  ASSERT_EQ(service_->Start(), 1);
  ASSERT_EQ(StoreMessage(u"alice", u"<KVTCData/>"), 1);
  clock_.Set(kNow - kNow % 86400 + 1800);  // 00:30, the sweep's hour
  {
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(
        gate->changed.wait_for(lock, std::chrono::seconds(30), [&] { return gate->entered; }));
  }
  auto stopped = std::async(std::launch::async, [&] { service_->Stop(); });
  if (stopped.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the stop waits for the hanging database";
    std::_Exit(1);  // the stop still runs on the future's thread
  }
  {
    std::lock_guard lock(gate->mutex);
    gate->released = true;
  }
  gate->changed.notify_all();
  // The unanswered question deleted nothing.
  StartService();
  EXPECT_EQ(CountOf(u"alice"), 1);
}

// A stop of the process while the service waits for a database login that does not end: the
// start gives up at once and fails quietly; the late connection is freed when the login ends.
TEST_F(ServiceTest, AStopRequestEndsTheWaitForADatabaseLoginThatHangs) {
  auto gate = std::make_shared<HangingUsers::Gate>();
  auto freed = std::make_shared<std::atomic<bool>>(false);
  struct Tracked final : public UserDatabase {
    explicit Tracked(std::shared_ptr<std::atomic<bool>> freed) : freed(std::move(freed)) {}
    ~Tracked() override { *freed = true; }
    Answer Query(std::u16string_view) override { return Answer::kExists; }
    Answer AnyActiveUser() override { return Answer::kExists; }
    std::shared_ptr<std::atomic<bool>> freed;
  };
  OffMsgServiceEnv env = Env();
  std::stop_source stop;
  env.stop = stop.get_token();
  env.openDatabase = [gate, freed](const std::string&, LogFile&) -> std::unique_ptr<UserDatabase> {
    HangingUsers(gate).Hang(UserDatabase::Answer::kExists);
    return std::make_unique<Tracked>(freed);
  };
  OffMsgService service(owner_, env);
  auto started = std::async(std::launch::async, [&] { return service.Start(); });
  {
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(
        gate->changed.wait_for(lock, std::chrono::seconds(30), [&] { return gate->entered; }));
  }
  stop.request_stop();
  if (started.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the start waits for the hanging login";
    std::_Exit(1);
  }
  EXPECT_EQ(started.get(), 0);
  {
    std::lock_guard lock(gate->mutex);
    gate->released = true;
  }
  gate->changed.notify_all();
  EXPECT_TRUE(WaitUntil([&] { return freed->load(); }));
}

}  // namespace
}  // namespace pigeonbox::testutil
