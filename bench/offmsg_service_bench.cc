// The offline-message service behind the application-server link and the stand-in application
// server, each figure beside a peer measured in the same run:
//
//  store: messages stored per second end to end (users -> stand-in server -> link ->
//         HandleMessage -> store), beside the store manager adding the same messages directly,
//         on as many threads as the link has delivery lanes (measured before and after);
//  sum:   GET_OFFMSG_SUM round trips per second (user -> server -> service -> server -> user),
//         beside an echo application on the same stand-in server answering the same request,
//         and beside a plain loopback echo of the request frame (no server in between).
//
//   offmsg_service_bench [--messages=N] [--owners=N] [--seconds=S] [--rounds=N]
//
// --messages is per sending user (default 2000), --owners the receivers they cycle through
// (default 400), --seconds the length of each round-trip run (default 2), --rounds how often
// each pair is measured (default 3; the median is reported). Stores live in temporary install
// roots under $TMPDIR or /tmp, removed at the end. Every stored count is checked afterwards; a
// miscount is reported and the exit code is 1.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "bench/round_trips.h"
#include "bench/store_corpus.h"
#include "link/offmsg_app.h"
#include "link/wire/envelope.h"
#include "offmsg/offmsg_service.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/offmsg_store_mgr.h"
#include "suite/appserver.h"
#include "suite/appserver_user.h"
#include "suite/delivery_lanes.h"

namespace pigeonbox::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLanes = AppServerClient::kDefaultLanes;
constexpr int kSumClients = 64;
constexpr int kMessagesPerSumClient = 3;
// A sender waits for the service after this many messages, as a client waits for answers.
constexpr int kWindow = 250;
constexpr char16_t kType[] = u"Quorvel.KVT.IM";

struct Options {
  int messages = 2000;
  int owners = 400;
  double seconds = 2;
  int rounds = 3;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const std::string& flag) -> std::optional<double> {
      if (arg.rfind(flag, 0) != 0) return std::nullopt;
      return std::atof(arg.c_str() + flag.size());
    };
    if (auto n = value("--messages=")) {
      options->messages = std::max(1, static_cast<int>(*n));
    } else if (auto n = value("--owners=")) {
      options->owners = std::max(1, static_cast<int>(*n));
    } else if (auto n = value("--seconds=")) {
      options->seconds = *n > 0 ? *n : 2;
    } else if (auto n = value("--rounds=")) {
      options->rounds = std::max(1, static_cast<int>(*n));
    } else {
      return false;
    }
  }
  return true;
}

// A new install root below $TMPDIR or /tmp, removed with the object.
class InstallRoot {
 public:
  InstallRoot() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pb-service-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    path_ = pattern + "/";
  }
  ~InstallRoot() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  void Write(const std::string& relative, const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(path_ + relative).parent_path());
    std::ofstream(path_ + relative, std::ios::binary) << text;
  }

 private:
  std::string path_;
};

class EveryoneExists final : public UserDatabase {
 public:
  Answer Query(std::u16string_view) override { return Answer::kExists; }
  Answer AnyActiveUser() override { return Answer::kExists; }
};
class NoCentre final : public ConfigCentreClient {
 public:
  bool Start() override { return true; }
  SysLogSink* sys_log_sink() override { return nullptr; }
  bool Flush(std::chrono::milliseconds) override { return true; }
};
class NoTransfer final : public TransferService {
 public:
  int Start() override { return 1; }
  void Stop() override {}
};

// The real offline-message service; the configuration centre and the file transfer do nothing.
class ServiceFactory final : public LinkServiceFactory {
 public:
  explicit ServiceFactory(OffMsgServiceEnv env) : env_(std::move(env)) {}
  std::unique_ptr<MessageService> CreateMessageService(LinkOwner& owner) override {
    return std::make_unique<OffMsgService>(owner, env_);
  }
  std::unique_ptr<ConfigCentreClient> CreateConfigCentre(ConfigChangeListener&) override {
    return std::make_unique<NoCentre>();
  }
  std::unique_ptr<TransferService> CreateTransferService() override {
    return std::make_unique<NoTransfer>();
  }

 private:
  OffMsgServiceEnv env_;
};

// A stand-in application server with the offline-message service linked to it.
class RunningService {
 public:
  explicit RunningService(const InstallRoot& root) : server_(nullptr) {
    std::string error;
    if (!server_.Start("127.0.0.1", 0, &error)) Fail("cannot start the server: " + error);
    root.Write("Config/KVTServer.xml",
               "<KVTServers><DBServer><DB_Setting DBConnstring=\"DSN=users\"/></DBServer>"
               "</KVTServers>");
    root.Write(
        "AppConfig/AppOffMsg.xml",
        "<App><AppRegInfo><Request_Type>Quorvel.KVT.IM|</Request_Type></AppRegInfo>"
        "<AppInfo AppGuid=\"{0B5E7C2A-1D3F-4A6B-8C9D-0E1F2A3B4C5D}\" AppName=\"OffMsgApp\" "
        "MsgType=\"OffMsg\" Priority=\"5\"/><AppSvrInfo AppSvrIp=\"127.0.0.1\" AppSvrPort=\"" +
            std::to_string(server_.port()) + "\"/></App>");
    log_.Open(root.path() + "Logs", "Pigeonbox.log");
    OffMsgServiceEnv env;
    const ServerSettings settings = ReadServerSettings(root.path());
    env.installRoot = root.path();
    env.settings = settings.offmsg;
    env.fs = &fs_;
    env.log = &log_;
    env.openDatabase = [](const std::string&, LogFile&) -> std::unique_ptr<UserDatabase> {
      return std::make_unique<EveryoneExists>();
    };
    factory_ = std::make_unique<ServiceFactory>(env);
    LinkEnvironment link;
    link.installRoot = root.path();
    link.app = settings.app;
    link.factory = factory_.get();
    link.sysLog = &sysLog_;
    link.deliveryLanes = kLanes;
    if (OffMsgApp::StartLink(link, &link_) != OffMsgApp::kStarted) Fail("the link did not start");
  }
  ~RunningService() { Stop(); }
  void Stop() {
    if (link_) link_->Stop();
    link_.reset();
    server_.Stop();
  }
  uint16_t port() const { return server_.port(); }

  static void Fail(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
  }

 private:
  AppServer server_;
  PosixFileSystem fs_;
  LogFile log_;
  SysLog sysLog_;
  std::unique_ptr<ServiceFactory> factory_;
  std::unique_ptr<OffMsgApp> link_;
};

std::unique_ptr<AppServerUser> LoggedIn(uint16_t port, std::u16string_view name) {
  auto user = std::make_unique<AppServerUser>();
  if (user->Login("127.0.0.1", port, name) != 0) RunningService::Fail("login failed");
  return user;
}

UserMessage Request(std::u16string_view command) {
  NarrowEnvelope envelope;
  envelope.SetItem(u"Command", kTypeString, command);
  return {u"bench", u"OffMsg_Query", u"OffMsgApp", u"OffMsgApp", FromAnsi(envelope.Text())};
}

// Waits until the service has handled everything `user` sent: one user's messages are handled in
// order, and GET_OFFMSG_SERVERCONFIG is always answered.
bool Fence(AppServerUser& user) {
  static const UserMessage request = Request(u"GET_OFFMSG_SERVERCONFIG");
  if (user.Send(request) != 0) return false;
  while (auto reply = user.Receive(std::chrono::seconds(30))) {
    if (!reply->isText) return true;
  }
  return false;
}

// One sender per delivery lane: names whose lanes differ, so the senders' messages are handled
// in parallel as far as the lanes allow.
std::vector<std::u16string> SenderNames() {
  DeliveryLanes lanes(kLanes);
  std::vector<std::u16string> names;
  std::vector<bool> taken(kLanes, false);
  for (int n = 0; names.size() < kLanes; ++n) {
    std::u16string name = u"sender" + Widen(std::to_string(n));
    if (!taken[lanes.LaneOf(name)]) {
      taken[lanes.LaneOf(name)] = true;
      names.push_back(std::move(name));
    }
  }
  return names;
}

// Message i of sender s: its number in the corpus and its receiver.
struct Message {
  uint64_t seq;
  size_t owner;
};
Message MessageOf(const Options& options, size_t sender, int i) {
  const uint64_t seq = static_cast<uint64_t>(i) * kLanes + sender;
  return {seq, static_cast<size_t>(seq % static_cast<uint64_t>(options.owners))};
}

// Runs work(sender) on one thread per sender; returns the seconds until all were done.
template <typename Work>
double TimeSenders(Work work) {
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (size_t s = 0; s < kLanes; ++s) threads.emplace_back(work, s);
  for (auto& thread : threads) thread.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// True when the store below `root` holds `expected` person messages over the owners.
bool CountsMatch(const std::string& root, const StoreCorpus& corpus, long expected) {
  PosixFileSystem fs;
  LogFile log;
  OffMsgStoreMgr store(root, StoreSettings{}, fs, log);
  store.InitStores();
  long stored = 0;
  for (const std::u16string& owner : corpus.owners())
    stored += std::max(0, store.GetOffMsgSum(owner));
  store.ReleaseStores();
  if (stored != expected) {
    std::fprintf(stderr, "stored %ld messages, expected %ld\n", stored, expected);
  }
  return stored == expected;
}

struct Pair {
  double mine = 0;
  double peer = 0;
  double loopback = 0;  // the round trips only: the plain loopback echo
  bool ok = true;
};

// Messages stored per second end to end; false in *ok when the store's count is off.
double EndToEndStoreRate(const Options& options, const StoreCorpus& corpus,
                         const std::vector<std::u16string>& senders, bool* ok) {
  InstallRoot root;
  RunningService service(root);
  std::vector<std::unique_ptr<AppServerUser>> users;
  for (const std::u16string& name : senders) users.push_back(LoggedIn(service.port(), name));
  const double seconds = TimeSenders([&](size_t s) {
    for (int i = 0; i < options.messages; ++i) {
      const Message m = MessageOf(options, s, i);
      const std::u16string& owner = corpus.owners()[m.owner];
      bool sent = users[s]->Send({u"bench", kType, owner, owner, corpus.TextOf(m.seq)}) == 0;
      if ((i + 1) % kWindow == 0 || i + 1 == options.messages) sent = sent && Fence(*users[s]);
      if (!sent) RunningService::Fail("a sender lost the server");
    }
  });
  service.Stop();
  const long total = static_cast<long>(options.messages) * static_cast<long>(kLanes);
  *ok = CountsMatch(root.path(), corpus, total) && *ok;
  return static_cast<double>(total) / seconds;
}

// The same messages added to the store manager directly, one thread per sender.
double DirectStoreRate(const Options& options, const StoreCorpus& corpus,
                       const std::vector<std::u16string>& senders, bool* ok) {
  InstallRoot root;
  PosixFileSystem fs;
  LogFile log;
  log.Open(root.path() + "Logs", "Pigeonbox.log");
  OffMsgStoreMgr store(root.path(), StoreSettings{}, fs, log);
  store.InitStores();
  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  const double seconds = TimeSenders([&](size_t s) {
    for (int i = 0; i < options.messages; ++i) {
      const Message m = MessageOf(options, s, i);
      // The record the service makes of the message.
      IndexRecord record;
      record.CreateTime = now;
      record.SrcIdentifier = u"bench";
      record.Type = kType;
      record.Sender = senders[s];
      record.Reciever = corpus.owners()[m.owner];
      record.MsgID = corpus.MsgIdOf(m.seq);
      store.AddOffMsg(record.Reciever, corpus.TextOf(m.seq), record);
    }
  });
  store.ReleaseStores();
  const long total = static_cast<long>(options.messages) * static_cast<long>(kLanes);
  *ok = CountsMatch(root.path(), corpus, total) && *ok;
  return static_cast<double>(total) / seconds;
}

// The direct rate is measured before and after the end-to-end one and averaged, so a drift in
// the machine's load during the round does not favour either side.
Pair StoreRates(const Options& options, const StoreCorpus& corpus,
                const std::vector<std::u16string>& senders) {
  Pair pair;
  const double before = DirectStoreRate(options, corpus, senders, &pair.ok);
  pair.mine = EndToEndStoreRate(options, corpus, senders, &pair.ok);
  pair.peer = (before + DirectStoreRate(options, corpus, senders, &pair.ok)) / 2;
  return pair;
}

Pair SumRates(const Options& options, const StoreCorpus& corpus) {
  Pair pair;
  std::vector<std::u16string> names;
  for (int i = 0; i < kSumClients; ++i) names.push_back(corpus.owners()[static_cast<size_t>(i)]);
  const UserMessage sum = Request(u"GET_OFFMSG_SUM");
  {
    InstallRoot root;
    RunningService service(root);
    auto filler = LoggedIn(service.port(), u"filler");
    for (const std::u16string& name : names) {
      for (int i = 0; i < kMessagesPerSumClient; ++i) {
        filler->Send({u"bench", kType, name, name, corpus.TextOf(static_cast<uint64_t>(i))});
      }
    }
    if (!Fence(*filler)) RunningService::Fail("the filler lost the server");
    std::vector<std::unique_ptr<AppServerUser>> users;
    for (const std::u16string& name : names) users.push_back(LoggedIn(service.port(), name));
    std::atomic<int> wrong{0};
    pair.mine = DriveRoundTrips(kSumClients, options.seconds, [&](int i) {
      if (users[i]->Send(sum) != 0) return false;
      const std::optional<UserDelivery> reply = users[i]->Receive(std::chrono::seconds(10));
      if (!reply) return false;
      NarrowEnvelope count;
      int32_t n = 0;
      if (!count.Load(reply->text) || !count.GetLong(u"Count", &n) || n != kMessagesPerSumClient) {
        ++wrong;
      }
      return true;
    });
    if (wrong > 0)
      std::fprintf(stderr, "%d GET_OFFMSG_SUM replies had a wrong count\n", wrong.load());
    pair.ok = wrong == 0;
  }
  {
    // The same request to an application of the same name that echoes it back.
    AppServer server(nullptr);
    std::string error;
    if (!server.Start("127.0.0.1", 0, &error)) RunningService::Fail(error);
    EchoApplication echo(server.port(), u"OffMsgApp", u"Echo", kLanes,
                         [](std::u16string_view data) { return std::u16string(data); });
    std::vector<std::unique_ptr<AppServerUser>> users;
    for (const std::u16string& name : names) users.push_back(LoggedIn(server.port(), name));
    pair.peer = DriveRoundTrips(kSumClients, options.seconds, [&](int i) {
      return users[i]->Send(sum) == 0 && users[i]->Receive(std::chrono::seconds(10)).has_value();
    });
  }
  pair.loopback = LoopbackEchoRate(kSumClients, options.seconds, UserSendFrame(sum));
  return pair;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace
}  // namespace pigeonbox::bench

int main(int argc, char** argv) {
  using namespace pigeonbox::bench;
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: offmsg_service_bench [--messages=N] [--owners=N] [--seconds=S] "
                 "[--rounds=N]\n");
    return 2;
  }
  const StoreCorpus corpus(0x5EED0FF1CE, std::max(options.owners, kSumClients), 512, 0);
  const std::vector<std::u16string> senders = SenderNames();
  std::printf(
      "%zu senders x %d messages to %d owners; %d GET_OFFMSG_SUM clients for %.1f s; "
      "%d rounds\n\n",
      kLanes, options.messages, options.owners, kSumClients, options.seconds, options.rounds);
  std::printf(
      "| round | stored/s end to end | store adds/s | ratio | GET_OFFMSG_SUM/s | "
      "echo app/s | ratio | loopback echo/s | ratio |\n"
      "|---|---|---|---|---|---|---|---|---|\n");
  bool ok = true;
  std::vector<double> storeRatios, sumRatios, loopbackRatios;
  for (int round = 1; round <= options.rounds; ++round) {
    const Pair store = StoreRates(options, corpus, senders);
    const Pair sum = SumRates(options, corpus);
    ok = ok && store.ok && sum.ok;
    storeRatios.push_back(store.mine / store.peer);
    sumRatios.push_back(sum.mine / sum.peer);
    loopbackRatios.push_back(sum.mine / sum.loopback);
    std::printf("| %d | %.0f | %.0f | %.2f | %.0f | %.0f | %.2f | %.0f | %.2f |\n", round,
                store.mine, store.peer, storeRatios.back(), sum.mine, sum.peer, sumRatios.back(),
                sum.loopback, loopbackRatios.back());
    std::fflush(stdout);
  }
  std::printf(
      "\nmedian ratios: stored end to end / store adds %.2f (goal >= 0.8); "
      "GET_OFFMSG_SUM / echo application %.2f, / loopback echo %.2f (goal >= 0.5)\n",
      Median(storeRatios), Median(sumRatios), Median(loopbackRatios));
  if (!ok) std::printf("FAILED: a count did not match (see above)\n");
  return ok ? 0 : 1;
}
