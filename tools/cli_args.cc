#include "tools/cli_args.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

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

// Walks the words; Take() hands out the value of an option.
class Words {
 public:
  explicit Words(const std::vector<std::string>& words) : words_(words) {}
  bool Done() const { return next_ >= words_.size(); }
  const std::string& Next() { return words_[next_++]; }
  bool Take(const std::string& option, std::string* value, std::string* error) {
    if (Done()) {
      *error = option + " needs a value";
      return false;
    }
    *value = Next();
    return true;
  }

 private:
  const std::vector<std::string>& words_;
  size_t next_ = 0;
};

bool ParseSend(Words& words, CliArgs* args, std::string* error) {
  std::string value;
  while (!words.Done()) {
    std::string word = words.Next();
    if (!words.Take(word, &value, error)) return false;
    if (word == "--type") {
      args->type = value;
    } else if (word == "--to") {
      args->to = value;
    } else if (word == "--src") {
      args->src = value;
    } else if (word == "--data") {
      args->data = value;
    } else if (word == "--data-file") {
      args->dataFile = value;
    } else {
      *error = "send: unknown option " + word;
      return false;
    }
  }
  if (args->type.empty() || args->to.empty()) {
    *error = "send needs --type and --to";
    return false;
  }
  if (args->data && args->dataFile) {
    *error = "send takes --data or --data-file, not both";
    return false;
  }
  return true;
}

bool ParseRequest(Words& words, CliArgs* args, std::string* error) {
  if (words.Done()) {
    *error = "request needs a COMMAND";
    return false;
  }
  args->command = words.Next();
  std::string value, key, text;
  while (!words.Done()) {
    std::string word = words.Next();
    if (word == "--long") {
      if (!words.Take(word, &value, error)) return false;
      std::optional<int32_t> number;
      if (!SplitKeyValue(value, &key, &text) || !(number = ParseLong(text))) {
        *error = "--long wants Key=N with a 32-bit number, not " + value;
        return false;
      }
      args->longs.emplace_back(key, *number);
    } else if (word == "--wait") {
      if (!words.Take(word, &value, error)) return false;
      char* end = nullptr;
      double seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 ||
          seconds > 3600) {
        *error = "--wait wants seconds between 0 and 3600, not " + value;
        return false;
      }
      args->waitSeconds = seconds;
    } else if (SplitKeyValue(word, &key, &text)) {
      args->strings.emplace_back(key, text);
    } else {
      *error = "request: expected Key=Value, --long or --wait, not " + word;
      return false;
    }
  }
  return true;
}

std::optional<uint32_t> ParseUnsigned(const std::string& text, uint32_t max) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool ParseDownload(Words& words, CliArgs* args, std::string* error) {
  std::string value;
  bool ticketId = false, userId = false;
  while (!words.Done()) {
    std::string word = words.Next();
    if (!words.Take(word, &value, error)) return false;
    std::string* text = word == "--host"     ? &args->host
                        : word == "--ticket" ? &args->ticket
                        : word == "--key"    ? &args->key
                        : word == "--dir"    ? &args->dir
                        : word == "--name"   ? &args->name
                        : word == "--out"    ? &args->out
                                             : nullptr;
    if (text != nullptr) {
      *text = value;
      continue;
    }
    std::optional<uint32_t> number =
        ParseUnsigned(value, word == "--port" ? UINT16_MAX : UINT32_MAX);
    if (word != "--port" && word != "--ticket-id" && word != "--user-id") {
      *error = "download: unknown option " + word;
      return false;
    }
    if (!number) {
      *error = word + " wants a number, not " + value;
      return false;
    }
    if (word == "--port") {
      args->port = static_cast<uint16_t>(*number);
    } else if (word == "--ticket-id") {
      args->ticketId = *number;
      ticketId = true;
    } else {
      args->userId = *number;
      userId = true;
    }
  }
  if (args->ticket.empty() || args->key.empty() || !ticketId || !userId || args->name.empty() ||
      args->out.empty()) {
    *error = "download needs --ticket, --key, --ticket-id, --user-id, --name and --out";
    return false;
  }
  return true;
}

}  // namespace

bool ParseCliArgs(const std::vector<std::string>& list, CliArgs* args, std::string* error) {
  Words words(list);
  std::string value;
  while (!words.Done()) {
    std::string word = words.Next();
    if (word == "send" || word == "request" || word == "download") {
      args->verb = word;
      break;
    }
    if (!words.Take(word, &value, error)) return false;
    if (word == "--root") {
      args->root = value;
    } else if (word == "--server") {
      args->server = value;
    } else if (word == "--app") {
      args->app = value;
    } else if (word == "--user") {
      args->user = value;
    } else {
      *error = "unknown option " + word;
      return false;
    }
  }
  if (args->verb.empty()) {
    *error = "no verb (send, request or download)";
    return false;
  }
  if (args->verb == "download") return ParseDownload(words, args, error);
  if (args->user.empty()) {
    *error = "--user NAME is required";
    return false;
  }
  return args->verb == "send" ? ParseSend(words, args, error) : ParseRequest(words, args, error);
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
