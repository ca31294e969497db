#include "tools/cli_args.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "base/command_line.h"

namespace pigeonbox::cli {
namespace {

bool SplitKeyValue(const std::string& word, std::string* key, std::string* value) {
  size_t equals = word.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  *key = word.substr(0, equals);
  *value = word.substr(equals + 1);
  return true;
}

std::optional<int32_t> ParseLong(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

// A validator from a check that returns the complaint, empty when the value is fine.
CLI::Validator Check(std::string (*complaint)(const std::string&)) {
  return CLI::Validator([complaint](std::string& value) { return complaint(value); }, "");
}

std::string NotKeyValue(const std::string& word) {
  std::string key, value;
  return SplitKeyValue(word, &key, &value) ? "" : "expected Key=Value, not " + word;
}

std::string NotKeyNumber(const std::string& word) {
  std::string key, value;
  if (SplitKeyValue(word, &key, &value) && ParseLong(value)) return "";
  return "wants Key=N with a 32-bit number, not " + word;
}

std::string NotSeconds(const std::string& text) {
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (!text.empty() && *end == '\0' && std::isfinite(seconds) && seconds >= 0 && seconds <= 3600) {
    return "";
  }
  return "wants seconds between 0 and 3600, not " + text;
}

void AddSend(CLI::App& app, CliArgs* args) {
  CLI::App* send = app.add_subcommand("send", "send a message of a registered type");
  send->add_option("--type", args->type, "message type")->required();
  send->add_option("--to", args->to, "receivers, separated by \";\"")->required();
  send->add_option("--src", args->src, "SrcIdentifier (default pigeonbox-cli)");
  CLI::Option* data =
      send->add_option("--data", args->data, "the envelope text")->option_text("XML");
  send->add_option("--data-file", args->dataFile, "file with the envelope text")
      ->option_text("F")
      ->excludes(data);
}

void AddRequest(CLI::App& app, CliArgs* args, std::vector<std::string>* strings,
                std::vector<std::string>* longs) {
  CLI::App* request =
      app.add_subcommand("request", "send a request and print every reply as one JSON line");
  request->add_option("COMMAND", args->command, "the request's Command")->required();
  request->add_option("Key=Value", *strings, "text items of the request")
      ->check(Check(NotKeyValue));
  request->add_option("--long", *longs, "a number item of the request (repeatable)")
      ->option_text("Key=N")
      ->allow_extra_args(false)
      ->check(Check(NotKeyNumber));
  request
      ->add_option("--wait", args->waitSeconds, "seconds to wait for a further reply (default 2)")
      ->option_text("SECONDS")
      ->check(Check(NotSeconds));
}

void AddDownload(CLI::App& app, CliArgs* args) {
  CLI::App* download =
      app.add_subcommand("download", "download a file from the file-transfer service");
  download->add_option("--host", args->host, "transfer service host (default 127.0.0.1)");
  download->add_option("--port", args->port,
                       "transfer port (default: the root's Pigeonbox section, else 8015)");
  download->add_option("--ticket", args->ticket, "the ticket")->required()->check(HexDigits());
  download->add_option("--key", args->key, "the ticket session key")
      ->required()
      ->check(HexDigits(32));
  download->add_option("--ticket-id", args->ticketId, "ticket id")->required();
  download->add_option("--user-id", args->userId, "user id")->required();
  download->add_option("--dir", args->dir, "directory of the file below the store");
  download->add_option("--name", args->name, "file name")->required();
  download->add_option("--out", args->out, "file to write")->required();
}

}  // namespace

std::optional<int> ParseCliArgs(int argc, char** argv, CliArgs* args) {
  std::unique_ptr<CLI::App> app = NewCommandLine(
      "pigeonbox-cli",
      "A client of the offline-message server through the application server; download\n"
      "talks to the file-transfer service directly. Exit status 1 when the server cannot be\n"
      "reached or refuses.");
  app->add_option("--root", args->root, "install root (default: above bin/, or PIGEONBOX_ROOT)")
      ->option_text("DIR");
  app->add_option("--server", args->server,
                  "application server (default: the root's APPServer section)")
      ->option_text("HOST:PORT");
  app->add_option("--app", args->app, "application name (default: from AppConfig/AppOffMsg.xml)");
  app->add_option("--user", args->user, "log in as this user (send, request)");
  app->require_subcommand(1);
  std::vector<std::string> strings, longs;
  AddSend(*app, args);
  AddRequest(*app, args, &strings, &longs);
  AddDownload(*app, args);
  if (std::optional<int> done = ParseCommandLine(*app, argc, argv)) return done;
  args->verb = app->get_subcommands().front()->get_name();
  if (args->verb != "download" && args->user.empty()) {
    return CommandLineError(*app, "--user NAME is required");
  }
  std::string key, value;
  for (const std::string& word : strings) {
    SplitKeyValue(word, &key, &value);
    args->strings.emplace_back(key, value);
  }
  for (const std::string& word : longs) {
    SplitKeyValue(word, &key, &value);
    args->longs.emplace_back(key, *ParseLong(value));
  }
  return std::nullopt;
}

bool SplitHostPort(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  *host = text.substr(0, colon);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  unsigned long value = std::stoul(digits);
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace pigeonbox::cli
