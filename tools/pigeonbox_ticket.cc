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
// be read or no random key can be made, 2 for usage errors.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "config/install_root.h"
#include "transfer/ticket.h"

namespace pigeonbox {
namespace {

int Usage(const std::string& error) {
  std::cerr << "pigeonbox-ticket: " << error << "\n"
            << "usage: pigeonbox-ticket [--root DIR] --ticket-id N --user-id N [--lifetime S]"
               " [--issued T]\n"
               "       pigeonbox-ticket authenticator --key HEX --ticket-id N --user-id N"
               " [--stamp T]\n";
  return 2;
}

std::optional<uint32_t> ParseU32(const std::string& text) {
  if (text.empty() || text[0] == '-') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

struct Options {
  bool authenticator = false;
  std::optional<std::string> root;
  std::optional<std::string> key;
  std::optional<uint32_t> ticketId;
  std::optional<uint32_t> userId;
  uint32_t lifetime = 3600;
  std::optional<uint32_t> issued;
  uint32_t stamp = 0;
};

bool Parse(const std::vector<std::string>& words, Options* options, std::string* error) {
  size_t i = 0;
  if (!words.empty() && words[0] == "authenticator") {
    options->authenticator = true;
    i = 1;
  }
  for (; i < words.size(); i += 2) {
    const std::string& option = words[i];
    if (i + 1 >= words.size()) {
      *error = option + " needs a value";
      return false;
    }
    const std::string& value = words[i + 1];
    if (option == "--root") {
      options->root = value;
      continue;
    }
    if (option == "--key") {
      options->key = value;
      continue;
    }
    const std::optional<uint32_t> number = ParseU32(value);
    if (!number) {
      *error = option + " wants a number from 0 to 4294967295, not " + value;
      return false;
    }
    if (option == "--ticket-id") {
      options->ticketId = number;
    } else if (option == "--user-id") {
      options->userId = number;
    } else if (option == "--lifetime") {
      options->lifetime = *number;
    } else if (option == "--issued") {
      options->issued = number;
    } else if (option == "--stamp") {
      options->stamp = *number;
    } else {
      *error = "unknown option " + option;
      return false;
    }
  }
  if (!options->ticketId || !options->userId) {
    *error = "--ticket-id and --user-id are required";
    return false;
  }
  if (options->authenticator && !options->key) {
    *error = "authenticator needs --key HEX";
    return false;
  }
  return true;
}

int Run(const std::vector<std::string>& words) {
  Options options;
  std::string error;
  if (!Parse(words, &options, &error)) return Usage(error);
  if (options.authenticator) {
    std::vector<uint8_t> key;
    if (!FromHex(*options.key, &key) || key.size() != 16) return Usage("--key wants 32 hex digits");
    TransferKey ticketKey;
    std::copy(key.begin(), key.end(), ticketKey.begin());
    const std::vector<uint8_t> auth =
        MakeAuthenticator(ticketKey, *options.ticketId, *options.userId, options.stamp);
    if (auth.empty()) {
      std::cerr << "pigeonbox-ticket: the cipher could not seal the authenticator\n";
      return 1;
    }
    std::cout << ToHex(auth.data(), auth.size()) << "\n";
    return 0;
  }
  std::string root = options.root ? *options.root : GetInstallRoot();
  if (!root.empty() && root.back() != '/') root += '/';
  const TransferKey serviceKey = LoadServiceKey(root);
  if (serviceKey == TransferKey{}) {
    std::cerr << "pigeonbox-ticket: cannot read or create " << ServiceKeyPath(root) << "\n";
    return 1;
  }
  Ticket ticket{*options.ticketId, *options.userId, options.lifetime,
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
  return pigeonbox::Run(std::vector<std::string>(argv + 1, argv + argc));
}
