// pigeonbox-cli: a client of the offline-message server through the application server.
//
//   pigeonbox-cli [--root DIR] [--server HOST:PORT] [--app NAME] --user NAME VERB ...
//
// Logs in as the user, then either sends a message of a registered type (send) or sends a
// request envelope to the offline-message application and prints every reply as one JSON line
// until --wait seconds pass without one (request). The server address comes from the root's
// "APPServer" section unless --server is given, the application's name from the root's
// application file unless --app is given. Exit status: 0 when the exchange worked (also without
// a reply), 1 when the server cannot be reached or the message cannot be sent, 2 for usage
// errors.
//
// download talks to the file-transfer service directly: it starts a session with a ticket (see
// pigeonbox-ticket), asks for the file, pulls every block, checks the size and writes the file.
// Exit status 0 when the file was written, 1 when the service refused or failed.
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

#include "base/text.h"
#include "config/app_config.h"
#include "config/install_root.h"
#include "config/server_config.h"
#include "link/wire/envelope.h"
#include "suite/appserver_user.h"
#include "tools/cli_args.h"
#include "tools/cli_replies.h"
#include "transfer/ticket.h"
#include "transfer/transfer_client.h"

namespace pigeonbox::cli {
namespace {

// The Type of a request: any name the application has not registered for.
constexpr std::u16string_view kRequestType = u"OffMsg_Query";

int Fail(const std::string& error) {
  std::cerr << "pigeonbox-cli: " << error << "\n";
  return 1;
}

std::string Root(const CliArgs& args) {
  std::string root = args.root ? *args.root : GetInstallRoot();
  if (!root.empty() && root.back() != '/') root += '/';
  return root;
}

bool ServerAddress(const CliArgs& args, const std::string& root, std::string* host, uint16_t* port,
                   std::string* error) {
  if (args.server) {
    if (SplitHostPort(*args.server, host, port)) return true;
    *error = "--server wants HOST:PORT, not " + *args.server;
    return false;
  }
  std::u16string ip;
  uint16_t udp = 0;
  if (!ReadBasicSetting(root, u"APPServer", &ip, 128, port, &udp) || *port == 0) {
    *error = "no APPServer address in " + ServerConfigPath(root) + "; use --server HOST:PORT";
    return false;
  }
  *host = ToUtf8(ip);
  return true;
}

int Send(const CliArgs& args, AppServerUser& user) {
  std::u16string data(kEmptyEnvelope);
  if (args.data) data = FromUtf8(*args.data);
  if (args.dataFile) {
    std::ifstream in(*args.dataFile, std::ios::binary);
    if (!in) return Fail("cannot read " + *args.dataFile);
    std::ostringstream content;
    content << in.rdbuf();
    data = FromUtf8(content.str());
  }
  std::u16string to = FromUtf8(args.to);
  UserMessage message{
      FromUtf8(args.src), FromUtf8(args.type), to.substr(0, to.find(u';')), to, data, 0};
  if (int32_t code = user.Send(message); code != 0) {
    return Fail("sending failed (code " + std::to_string(code) + ")");
  }
  return 0;
}

int Request(const CliArgs& args, const std::string& root, AppServerUser& user) {
  std::u16string appName;
  AppConfig config;
  bool haveConfig = ReadAppConfig(root, &config);
  if (args.app) {
    appName = FromUtf8(*args.app);
  } else if (haveConfig && !config.appName.empty()) {
    appName = config.appName;
  } else {
    return Fail("no application name in " + root + "AppConfig/AppOffMsg.xml; use --app NAME");
  }
  for (const std::u16string& type : config.requestTypes) {
    if (ToLower(type) == ToLower(kRequestType)) {
      return Fail("the application stores messages of type " + ToUtf8(kRequestType));
    }
  }

  WideEnvelope envelope;
  envelope.SetItem(u"Command", kTypeString, FromUtf8(args.command));
  for (const auto& [key, value] : args.strings) {
    envelope.SetItem(FromUtf8(key), kTypeString, FromUtf8(value));
  }
  for (const auto& [key, value] : args.longs) {
    envelope.SetItem(FromUtf8(key), kTypeLong, Widen(std::to_string(value)));
  }
  UserMessage message{
      FromUtf8(args.src), std::u16string(kRequestType), appName, appName, envelope.Text(), 0};
  if (int32_t code = user.Send(message); code != 0) {
    return Fail("sending failed (code " + std::to_string(code) + ")");
  }
  auto wait = std::chrono::milliseconds(static_cast<int64_t>(args.waitSeconds * 1000));
  while (std::optional<UserDelivery> reply = user.Receive(wait)) {
    std::cout << ReplyJson(*reply) << std::endl;
  }
  return 0;
}

int Download(const CliArgs& args, const std::string& root) {
  std::vector<uint8_t> ticket;
  std::vector<uint8_t> keyBytes;
  // The command line has checked both: hex digits, and 16 bytes of key.
  FromHex(args.ticket, &ticket);
  FromHex(args.key, &keyBytes);
  TransferKey key;
  std::copy(keyBytes.begin(), keyBytes.end(), key.begin());
  uint16_t port = 8015;
  if (args.port) {
    port = *args.port;
  } else {
    std::u16string ip;
    uint16_t udp = 0;
    ReadBasicSetting(root, u"Pigeonbox", &ip, 128, &port, &udp);
  }
  TransferClient client;
  std::string error;
  if (!client.Connect(args.host, port, &error)) return Fail(error);
  std::optional<int32_t> session =
      client.StartSession(ticket, MakeAuthenticator(key, args.ticketId, args.userId, 0), key);
  if (!session) return Fail("no answer to the session start (connection closed)");
  if (*session != 0) return Fail("session refused (code " + std::to_string(*session) + ")");
  std::optional<TransferClient::FileInfo> info =
      client.RequestFile(FromUtf8(args.dir), FromUtf8(args.name));
  if (!info) return Fail("no answer to the file request");
  if (info->result != 0) return Fail("file refused (code " + std::to_string(info->result) + ")");
  std::vector<uint8_t> content;
  if (int code = client.ReadWholeFile(info->size, &content); code != 0) {
    return Fail(code == 1 ? "the blocks do not add up to " + std::to_string(info->size) + " bytes"
                          : "block read failed (code " + std::to_string(code) + ")");
  }
  std::ofstream out(args.out, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) return Fail("cannot write " + args.out);
  std::cout << "downloaded " << content.size() << " bytes, time tag " << ToUtf8(info->timeTag)
            << "\n";
  return 0;
}

int Run(int argc, char** argv) {
  CliArgs args;
  if (std::optional<int> done = ParseCliArgs(argc, argv, &args)) return *done;
  std::string error;
  std::string root = Root(args);
  if (args.verb == "download") return Download(args, root);
  std::string host;
  uint16_t port = 0;
  if (!ServerAddress(args, root, &host, &port, &error)) return Fail(error);

  AppServerUser user;
  std::u16string loginError;
  if (int32_t code = user.Login(host, port, FromUtf8(args.user), &loginError); code != 0) {
    std::string what = code >= appwire::kUnreachable
                           ? "cannot reach the application server at "
                           : "login refused by the application server at ";
    return Fail(what + host + ":" + std::to_string(port) + " (code " + std::to_string(code) +
                "): " + ToUtf8(loginError));
  }
  return args.verb == "send" ? Send(args, user) : Request(args, root, user);
}

}  // namespace
}  // namespace pigeonbox::cli

int main(int argc, char** argv) {
  try {
    return pigeonbox::cli::Run(argc, argv);
  } catch (const std::exception& e) {
    return pigeonbox::cli::Fail(e.what());
  }
}
