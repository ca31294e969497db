// Command line of pigeonbox-cli:
//
//   pigeonbox-cli [--root DIR] [--server HOST:PORT] [--app NAME] --user NAME VERB ...
//     send --type T --to "a;b" [--src ID] [--data XML | --data-file F]
//     request COMMAND [Key=Value ...] [--long Key=N ...] [--wait SECONDS]
//   pigeonbox-cli [--root DIR] download [--host H] [--port P] --ticket HEX --key HEX
//       --ticket-id N --user-id N --dir D --name F --out FILE
//   pigeonbox-cli --help | --version
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pigeonbox::cli {

struct CliArgs {
  std::optional<std::string> root;
  std::optional<std::string> server;  // HOST:PORT
  std::optional<std::string> app;
  std::string user;
  std::string verb;  // "send", "request" or "download"

  // send
  std::string type;
  std::string to;
  std::string src = "pigeonbox-cli";
  std::optional<std::string> data;
  std::optional<std::string> dataFile;

  // request
  std::string command;
  std::vector<std::pair<std::string, std::string>> strings;
  std::vector<std::pair<std::string, int32_t>> longs;
  double waitSeconds = 2;

  // download (from the file-transfer service; --user is not needed)
  std::string host = "127.0.0.1";
  std::optional<uint16_t> port;  // default: the root's "Pigeonbox" section, else 8015
  std::string ticket;            // hex
  std::string key;               // hex, the ticket session key
  uint32_t ticketId = 0;
  uint32_t userId = 0;
  std::string dir;
  std::string name;
  std::string out;
};

// Reads the command line into *args. nullopt when the tool goes on; otherwise the exit code (0
// after --help or --version, 2 for anything it cannot take, said with the usage on stderr).
std::optional<int> ParseCliArgs(int argc, char** argv, CliArgs* args);

// "host:port" or "[v6]:port".
bool SplitHostPort(const std::string& text, std::string* host, uint16_t* port);

}  // namespace pigeonbox::cli
