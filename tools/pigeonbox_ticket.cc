// pigeonbox-ticket: makes tickets for the file-transfer service, as the suite's ticket issuer
// does, with the service key file (kvtserver.kss) of an install root.
//
//   pigeonbox-ticket [--root DIR] --ticket-id N --user-id N [--lifetime S] [--issued T]
//       prints "ticket HEX", "key HEX" (the ticket session key), "ticket-id N" and "user-id N";
//       --issued 0 makes a ticket that never expires (default: now); --lifetime defaults to 3600
//   pigeonbox-ticket authenticator --key HEX --ticket-id N --user-id N [--stamp T]
//       prints the authenticator a client sends beside the ticket
//
// The key file is created (owner-only, random digits) when the root has none yet, so tickets
// made before the server's first start stay valid. Exit status: 0, 1 when the key file cannot
// be read or no random key can be made, 2 for usage errors. --help and --version as everywhere.
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "config/install_root.h"
#include "transfer/ticket.h"

namespace pigeonbox {
namespace {

struct Options {
  bool authenticator = false;
  std::string root;
  bool rootGiven = false;
  std::string key;
  uint32_t ticketId = 0;
  uint32_t userId = 0;
  uint32_t lifetime = 3600;
  std::optional<uint32_t> issued;
  uint32_t stamp = 0;
};

// Reads the command line into *options. nullopt when the tool goes on; otherwise the exit code.
std::optional<int> Parse(int argc, char** argv, Options* options) {
  std::unique_ptr<CLI::App> app = NewCommandLine(
      "pigeonbox-ticket",
      "Makes a ticket for the file-transfer service with the root's service key file\n"
      "(kvtserver.kss, created when missing) and prints \"ticket HEX\", \"key HEX\" (the ticket\n"
      "session key), \"ticket-id N\" and \"user-id N\". Exit status 1 when the key file cannot\n"
      "be read or no random key can be made.");
  CLI::Option* root = app->add_option("--root", options->root,
                                      "install root (default: above bin/, or PIGEONBOX_ROOT)")
                          ->option_text("DIR");
  // Required in the ticket form only; the authenticator form takes its own.
  CLI::Option* ticketId = app->add_option("--ticket-id", options->ticketId, "ticket id (required)");
  CLI::Option* userId = app->add_option("--user-id", options->userId, "user id (required)");
  app->add_option("--lifetime", options->lifetime, "seconds the ticket is valid (default 3600)");
  uint32_t issuedAt = 0;
  CLI::Option* issued =
      app->add_option("--issued", issuedAt, "issue time; 0 never expires (default: now)");
  CLI::App* auth = app->add_subcommand("authenticator",
                                       "prints the authenticator a client sends beside the ticket");
  auth->add_option("--key", options->key, "the ticket session key")
      ->required()
      ->check(HexDigits(32));
  auth->add_option("--ticket-id", options->ticketId, "ticket id")->required();
  auth->add_option("--user-id", options->userId, "user id")->required();
  auth->add_option("--stamp", options->stamp, "time stamp (default 0)");
  if (std::optional<int> done = ParseCommandLine(*app, argc, argv)) return done;
  options->authenticator = auth->parsed();
  if (!options->authenticator && (ticketId->count() == 0 || userId->count() == 0)) {
    return CommandLineError(*app, "--ticket-id and --user-id are required");
  }
  options->rootGiven = root->count() > 0;
  if (issued->count() > 0) options->issued = issuedAt;
  return std::nullopt;
}

int Run(int argc, char** argv) {
  Options options;
  if (std::optional<int> done = Parse(argc, argv, &options)) return *done;
  if (options.authenticator) {
    std::vector<uint8_t> key;
    FromHex(options.key, &key);  // checked by the command line: 16 bytes
    TransferKey ticketKey;
    std::copy(key.begin(), key.end(), ticketKey.begin());
    const std::vector<uint8_t> auth =
        MakeAuthenticator(ticketKey, options.ticketId, options.userId, options.stamp);
    if (auth.empty()) {
      std::cerr << "pigeonbox-ticket: the cipher could not seal the authenticator\n";
      return 1;
    }
    std::cout << ToHex(auth.data(), auth.size()) << "\n";
    return 0;
  }
  std::string root = options.rootGiven ? options.root : GetInstallRoot();
  if (!root.empty() && root.back() != '/') root += '/';
  const TransferKey serviceKey = LoadServiceKey(root);
  if (serviceKey == TransferKey{}) {
    std::cerr << "pigeonbox-ticket: cannot read or create " << ServiceKeyPath(root) << "\n";
    return 1;
  }
  Ticket ticket{options.ticketId, options.userId, options.lifetime,
                options.issued ? *options.issued : static_cast<uint32_t>(std::time(nullptr)),
                NewSessionKey()};
  if (ticket.sessionKey == TransferKey{}) {
    std::cerr << "pigeonbox-ticket: no random bytes from the kernel for the ticket session key\n";
    return 1;
  }
  const std::vector<uint8_t> sealed = SealTicket(ticket, serviceKey);
  if (sealed.empty()) {
    std::cerr << "pigeonbox-ticket: the cipher could not seal the ticket\n";
    return 1;
  }
  std::cout << "ticket " << ToHex(sealed.data(), sealed.size()) << "\n"
            << "key " << ToHex(ticket.sessionKey.data(), ticket.sessionKey.size()) << "\n"
            << "ticket-id " << ticket.ticketId << "\n"
            << "user-id " << ticket.userId << "\n";
  return 0;
}

}  // namespace
}  // namespace pigeonbox

int main(int argc, char** argv) {
  return pigeonbox::Run(argc, argv);
}
