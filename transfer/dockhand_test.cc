#include "transfer/dockhand.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <future>

#include "base/text.h"
#include "store/store_lock_stripes.h"
#include "store/store_paths.h"
#include "suite/crypt.h"
#include "testutil/transfer/dockhand_fixture.h"

namespace pigeonbox {
namespace {

using testutil::TestDockhand;

// True when the server closed the connection within the bounded wait.
bool ClosedByServer(TransferClient& client, int waitMs = 5000) {
  PacketBuffer frame;
  if (client.ReceiveFrame(&frame, waitMs)) return false;
  char byte;
  return recv(client.fd(), &byte, 1, MSG_DONTWAIT) == 0;
}

std::string Bytes(const std::vector<uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

class DockhandTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, t_.service->Start()); }

  TransferClient& Connect() {
    auto& client = clients_.emplace_back(std::make_unique<TransferClient>());
    std::string error;
    EXPECT_TRUE(client->Connect("127.0.0.1", t_.service->port(), &error)) << error;
    return *client;
  }
  TransferClient& Session() {
    auto& client = clients_.emplace_back(std::make_unique<TransferClient>());
    EXPECT_TRUE(t_.OpenSession(*client));
    return *client;
  }
  // Session start with a raw body.
  std::optional<int32_t> StartWithBody(const std::string& body) {
    TransferClient& client = Connect();
    PacketBuffer frame;
    BeginFrame(frame, kSessionStartCommand);
    frame.PutBytes(body.data(), body.size());
    PacketBuffer reply;
    uint32_t code = 0;
    if (!client.SendFrame(frame) || !client.ReceiveFrame(&reply) || !reply.GetU32(&code)) {
      return std::nullopt;
    }
    return static_cast<int32_t>(code);
  }
  std::optional<int32_t> Start(const std::vector<uint8_t>& ticket,
                               const std::vector<uint8_t>& authenticator, const TransferKey& key) {
    return Connect().StartSession(ticket, authenticator, key);
  }

  TestDockhand t_;
  std::vector<std::unique_ptr<TransferClient>> clients_;
};

TEST_F(DockhandTest, SessionStartAnswersEveryCode) {
  TransferKey key;
  const std::vector<uint8_t> ticket = t_.MakeTicket(5, 9, &key);
  const std::vector<uint8_t> auth = MakeAuthenticator(key, 5, 9, 0);
  EXPECT_EQ(0, Start(ticket, auth, key));

  EXPECT_EQ(kSessionMalformed, StartWithBody(""));
  EXPECT_EQ(kSessionMalformed, StartWithBody(std::string("\x00\x05xy", 4)));
  EXPECT_EQ(kSessionMalformed, StartWithBody(std::string("\x00\x01x", 3)));  // no authenticator

  std::vector<uint8_t> tampered = ticket;
  tampered[20] ^= 1;
  EXPECT_EQ(kTicketRefused, Start(tampered, auth, key));
  const TransferKey otherKey = NewSessionKey();
  EXPECT_EQ(kTicketRefused, Start(SealTicket(Ticket{5, 9, 3600, 0, key}, otherKey), auth, key));
  // The right key but not 32 bytes inside.
  std::vector<uint8_t> shortPlain(20, 1);
  std::vector<uint8_t> shortTicket(shortPlain.size() + crypt::kOverheadBytes);
  int shortLength = static_cast<int>(shortTicket.size());
  crypt::SymEncrypt(shortPlain.data(), 20, LoadServiceKey(t_.root.path()).data(),
                    shortTicket.data(), &shortLength);
  EXPECT_EQ(kTicketRefused, Start(shortTicket, auth, key));

  // Issued an hour ago with a lifetime of an hour: expired; one second less is still good.
  EXPECT_EQ(kTicketRefused,
            Start(t_.MakeTicket(5, 9, &key, 3600, TestDockhand::kNow - 3600), auth, key));
  std::vector<uint8_t> lastSecond = t_.MakeTicket(5, 9, &key, 3600, TestDockhand::kNow - 3599);
  EXPECT_EQ(0, Start(lastSecond, MakeAuthenticator(key, 5, 9, 0), key));
  // Issue time 0 never expires.
  std::vector<uint8_t> forever = t_.MakeTicket(5, 9, &key, 1, 0);
  t_.clock.Advance(100'000'000);
  EXPECT_EQ(0, Start(forever, MakeAuthenticator(key, 5, 9, 0), key));

  const std::vector<uint8_t> good = t_.MakeTicket(5, 9, &key, 3600, 0);
  EXPECT_EQ(kAuthenticatorUnreadable, Start(good, MakeAuthenticator(otherKey, 5, 9, 0), key));
  EXPECT_EQ(kAuthenticatorMismatch, Start(good, MakeAuthenticator(key, 5, 8, 0), key));
  EXPECT_EQ(kAuthenticatorMismatch, Start(good, MakeAuthenticator(key, 6, 9, 0), key));
}

// A clock that moves on by a second each time it is read: the ticket expires between the first
// check and the repeated one after the authenticator.
class TickingClock final : public Clock {
 public:
  int64_t Now() const override { return now_.fetch_add(1); }
  std::atomic<int64_t>& now() { return now_; }

 private:
  mutable std::atomic<int64_t> now_{TestDockhand::kNow};
};

TEST(DockhandClockTest, TicketExpiringDuringTheStartGetsTheLateCode) {
  TestDockhand t;
  TickingClock clock;
  DockhandEnv env;
  env.installRoot = t.root.path();
  env.settings.port = 0;
  env.log = &t.log;
  env.clock = &clock;
  env.io.slotCount = 4;
  env.io.workerCount = 1;
  Dockhand service(env);
  ASSERT_EQ(1, service.Start());
  TransferKey key;
  // Read at connect (kNow), at the frame (+1) and by the first check (+2): 2 < 3 passes; the
  // repeated check reads +3.
  const std::vector<uint8_t> ticket = t.MakeTicket(1, 2, &key, 3, TestDockhand::kNow);
  TransferClient client;
  std::string error;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.port(), &error));
  EXPECT_EQ(kTicketExpiredLate, client.StartSession(ticket, MakeAuthenticator(key, 1, 2, 0), key));
}

TEST_F(DockhandTest, FramesThatAreNotRequestsAndCommandsBeforeTheSession) {
  TransferClient& client = Session();
  // 13 bytes: no reply; a frame not ending in 0x03: no reply; the connection stays.
  PacketBuffer frame;
  BeginFrame(frame, kSessionStartCommand);
  SealFrame(frame);
  frame.data[1] = 0;
  frame.data[2] = 13;
  ASSERT_TRUE(client.SendBytes(frame.data, 13));
  BeginFrame(frame, kBlockRequestCommand);
  frame.PutU32(0);
  SealFrame(frame);
  frame.data[frame.end] = 0x04;
  ASSERT_TRUE(client.SendBytes(frame.data, frame.end + 1));
  // An unknown command is ignored, and a body the session key does not open gets no reply.
  BeginFrame(frame, 9);
  frame.PutU32(0);
  ASSERT_TRUE(client.SendFrame(frame));
  t_.root.Write("OffMsg/d/disgroup/g.txt", "x");
  BeginFrame(frame, kFileRequestCommand);
  frame.PutText(u"d_disgroup");
  frame.PutText(u"g.txt");
  ASSERT_TRUE(client.SendFrame(frame));  // not encrypted
  std::optional<TransferClient::FileInfo> info = client.RequestFile(u"d_disgroup", u"g.txt");
  ASSERT_TRUE(info);  // the first reply after all of those
  EXPECT_EQ(0, info->result);
  EXPECT_EQ(1u, info->size);

  // A block request before any file closes the connection; so does anything before command 0.
  TransferClient& noFile = Session();
  ASSERT_TRUE(noFile.RequestBlock(0) == std::nullopt);
  EXPECT_TRUE(ClosedByServer(noFile));
  TransferClient& fresh = Connect();
  EXPECT_FALSE(fresh.RequestFile(u"d_disgroup", u"g.txt"));
  EXPECT_TRUE(ClosedByServer(fresh));
}

TEST_F(DockhandTest, FileRequestsAndBlocks) {
  std::string content(6144, 0);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + 1);
  const std::string bucket = std::to_string(NameHash(u"alice") % 50);
  t_.root.Write("OffMsg/OffMsgFile/" + bucket + "/Alice.txt", content.substr(0, 5000));
  t_.root.Write("OffMsg/OffMsgFile/" + std::to_string(NameHash(u"a.b") % 50) + "/a.b.txt", content);
  t_.root.Write("OffMsg/OffMsgFile/" + std::to_string(NameHash(u"empty") % 50) + "/empty.txt", "");
  TransferClient& client = Session();

  std::optional<TransferClient::FileInfo> info = client.RequestFile(u"OffMsgFile", u"ALICE.txt");
  ASSERT_TRUE(info);
  ASSERT_EQ(0, info->result);
  EXPECT_EQ(5000u, info->size);
  EXPECT_FALSE(info->timeTag.empty());
  std::optional<TransferClient::Block> block = client.RequestBlock(0);
  ASSERT_TRUE(block);
  EXPECT_EQ(0, block->result);
  EXPECT_EQ(content.substr(0, 3072), Bytes(block->bytes));
  block = client.RequestBlock(1);
  ASSERT_TRUE(block);
  EXPECT_EQ(1u, block->index);
  EXPECT_EQ(content.substr(3072, 1928), Bytes(block->bytes));

  // A new request replaces the file.
  info = client.RequestFile(u"offmsgfile", u"a.b.txt");
  ASSERT_TRUE(info);
  ASSERT_EQ(0, info->result);
  EXPECT_EQ(6144u, info->size);
  block = client.RequestBlock(2);
  ASSERT_TRUE(block);
  EXPECT_EQ(0, block->result);
  EXPECT_TRUE(block->bytes.empty());
  block = client.RequestBlock(3);
  ASSERT_TRUE(block);
  EXPECT_EQ(kPastTheEnd, block->result);
  std::vector<uint8_t> whole;
  EXPECT_EQ(0, client.ReadWholeFile(6144, &whole));
  EXPECT_EQ(content, Bytes(whole));

  info = client.RequestFile(u"offmsgfile", u"nobody.txt");
  ASSERT_TRUE(info);
  EXPECT_EQ(kFileMissing, info->result);
  info = client.RequestFile(u"offmsgfile", u"empty.txt");
  ASSERT_TRUE(info);
  EXPECT_EQ(kFileEmptyOrUnopenable, info->result);
}

TEST_F(DockhandTest, NothingOutsideTheStoreCanBeFetched) {
  t_.root.Write("secret.txt", "outside the store");
  t_.root.Write("OffMsg/x/disgroup/ok.txt", "ok");
  TransferClient& client = Session();
  for (auto [dir, name] : {std::pair<std::u16string, std::u16string>{u"..", u"kvtserver.kss"},
                           {u"x/../..", u"kvtserver.kss"},
                           {u"../x_disgroup", u"secret.txt"},
                           {u"/etc", u"passwd"},
                           {u"x_disgroup", u"../../../kvtserver.kss"},
                           {u"x_disgroup", u"..\\..\\..\\secret.txt"}}) {
    std::optional<TransferClient::FileInfo> info = client.RequestFile(dir, name);
    ASSERT_TRUE(info) << ToUtf8(name);
    EXPECT_EQ(kFileMissing, info->result) << ToUtf8(dir) << " " << ToUtf8(name);
  }
  std::optional<TransferClient::FileInfo> ok = client.RequestFile(u"x_disgroup", u"ok.txt");
  ASSERT_TRUE(ok);
  EXPECT_EQ(0, ok->result);
  EXPECT_NE(std::string::npos, t_.root.Read("Logs/Pigeonbox.log").find("fileName=kvtserver.kss"));
}

// The file is chosen under its owner's stripe, that of the base name: "a.b" for a.b.txt, the
// whole name without a ".".
TEST_F(DockhandTest, AFileIsChosenUnderTheOwnersStripe) {
  for (auto [name, owner] : {std::pair<std::u16string, std::u16string>{u"carol.txt", u"carol"},
                             {u"a.b.txt", u"a.b"},
                             {u"plain", u"plain"}}) {
    t_.root.Write("OffMsg/d/disgroup/" + ToUtf8(name), "owner's file");
    TransferClient& client = Session();
    const std::u16string file = name;  // clang does not capture structured bindings yet
    std::optional<OwnerLock> held(std::in_place, t_.stripes, owner);
    auto reply =
        std::async(std::launch::async, [&] { return client.RequestFile(u"d_disgroup", file); });
    // No reply while the store holds the owner's stripe.
    EXPECT_EQ(std::future_status::timeout, reply.wait_for(std::chrono::milliseconds(200)))
        << ToUtf8(name);
    held.reset();
    ASSERT_EQ(0, reply.get()->result);
    std::optional<TransferClient::Block> block = client.RequestBlock(0);
    ASSERT_TRUE(block);
    EXPECT_EQ(0, block->result);
    EXPECT_EQ("owner's file", Bytes(block->bytes));
  }
}

TEST_F(DockhandTest, IdleConnectionsAreSweptAndStopEnds) {
  TransferClient& idle = Connect();
  TransferClient& busy = Session();
  PacketBuffer probe;
  ASSERT_FALSE(idle.ReceiveFrame(&probe, 50));  // the connection is in
  t_.clock.Advance(40);
  BeginFrame(probe, 9);  // any frame counts as activity
  probe.PutU32(0);
  ASSERT_TRUE(busy.SendFrame(probe));
  ASSERT_FALSE(busy.ReceiveFrame(&probe, 50));
  t_.clock.Advance(20);  // idle for 60 s: not more than 60, kept
  t_.service->SweepIdle();
  ASSERT_FALSE(idle.ReceiveFrame(&probe, 50));
  t_.clock.Advance(1);
  t_.service->SweepIdle();
  EXPECT_TRUE(ClosedByServer(idle));
  EXPECT_TRUE(busy.RequestFile(u"x_disgroup", u"none.txt"));  // 21 s idle: kept

  // Stop wakes the sweep from its 60-second wait and joins it.
  auto stopped = std::async(std::launch::async, [&] { t_.service->Stop(); });
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(30)));
  EXPECT_TRUE(ClosedByServer(busy));
  std::vector<uint32_t> ids = t_.recorder.ids();
  EXPECT_EQ((std::vector<uint32_t>{1600, 1601}), ids);
}

TEST(DockhandStartTest, SweepThreadRunsAtItsIntervalAndStartFailuresAreReported) {
  TestDockhand t;
  DockhandEnv env;
  env.installRoot = t.root.path();
  env.settings.port = 0;
  env.log = &t.log;
  env.sysLog = &t.sysLog;
  env.clock = &t.clock;
  env.sweepInterval = std::chrono::milliseconds(10);
  env.io.slotCount = 4;
  env.io.workerCount = 1;
  Dockhand service(env);
  ASSERT_EQ(1, service.Start());
  EXPECT_EQ(0, service.Start());  // already running
  TransferClient client;
  std::string error;
  ASSERT_TRUE(client.Connect("127.0.0.1", service.port(), &error));
  PacketBuffer probe;
  ASSERT_FALSE(client.ReceiveFrame(&probe, 50));
  // The server stamps the connection when its worker takes it, which on a loaded machine may come
  // after a first advance of the clock; later advances find it idle all the same.
  bool closed = false;
  for (int round = 0; round < 50 && !closed; ++round) {
    t.clock.Advance(61);
    closed = ClosedByServer(client, 100);
  }
  EXPECT_TRUE(closed);

  // A second service on the same port cannot listen.
  env.settings.port = service.port();
  Dockhand second(env);
  EXPECT_EQ(0, second.Start());
  EXPECT_EQ((std::vector<uint32_t>{1600, 1000, 3001, 1000}), t.recorder.ids());
}

// A key file that cannot be opened leaves the all-zero key, which anyone can seal tickets with.
TEST(ServiceKeyTest, WithoutAReadableKeyFileNoTicketIsAccepted) {
  TestDockhand t;
  ASSERT_EQ(0, mkdir(ServiceKeyPath(t.root.path()).c_str(), 0700));
  ASSERT_EQ(TransferKey{}, LoadServiceKey(t.root.path()));
  ASSERT_EQ(1, t.service->Start());
  const TransferKey key = NewSessionKey();
  const std::vector<uint8_t> forged = SealTicket(Ticket{1, 7, 3600, 0, key}, TransferKey{});
  Ticket opened;
  EXPECT_FALSE(OpenTicket(forged.data(), static_cast<int>(forged.size()), TransferKey{}, &opened));
  TransferClient client;
  std::string error;
  ASSERT_TRUE(client.Connect("127.0.0.1", t.service->port(), &error)) << error;
  EXPECT_EQ(kTicketRefused, client.StartSession(forged, MakeAuthenticator(key, 1, 7, 0), key));
}

TEST(ServiceKeyTest, MadeOnceFromRandomDigitsAndReadableByTheOwnerOnly) {
  testutil::TempDir root;
  const TransferKey key = LoadServiceKey(root.path());
  for (int i = 0; i < 15; ++i) EXPECT_TRUE(key[i] >= '0' && key[i] <= '9') << i;
  EXPECT_EQ(0, key[15]);
  struct stat info {};
  ASSERT_EQ(0, stat(ServiceKeyPath(root.path()).c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  EXPECT_EQ(key, LoadServiceKey(root.path()));
  EXPECT_NE(key, LoadServiceKey(root.path() + "other-"));

  const std::string path = root.Write("given/kvtserver.kss", "123456789012345678");
  chmod(path.c_str(), 0644);
  const TransferKey given = LoadServiceKey(root.path() + "given/");
  EXPECT_EQ("123456789012345", std::string(given.begin(), given.end() - 1));
  ASSERT_EQ(0, stat(path.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  EXPECT_EQ(TransferKey{}, LoadServiceKey(root.path() + "missing-dir/"));
}

}  // namespace
}  // namespace pigeonbox
