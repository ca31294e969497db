// What the executables of the stand-in servers share: the listen address (from --listen or from
// a section of the server configuration file), the log file with its fallback to stderr, and the
// signals that the main thread waits for.
#pragma once

#include <signal.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/command_line.h"
#include "base/text.h"
#include "config/install_root.h"
#include "config/server_config.h"
#include "service/log_file.h"

namespace pigeonbox::standin {

// "HOST:PORT" (the host may be bracketed) into its parts; false when it is not of that form.
inline bool SplitHostPort(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  *host = text.substr(0, colon);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// The address to listen on: `listen` when not empty, else the IP and TCPPort of `section` in the
// root's server configuration file. 0 when found; 2 for a malformed `listen`; 1 when the file
// names no address (said on stderr).
inline int ListenAddress(const char* program, const std::string& root, std::u16string_view section,
                         const std::string& listen, std::string* host, uint16_t* port) {
  if (!listen.empty()) return SplitHostPort(listen, host, port) ? 0 : 2;
  std::u16string ip;
  uint16_t udp = 0;
  if (!ReadBasicSetting(root, section, &ip, 128, port, &udp) || *port == 0) {
    std::cerr << program << ": no " << ToUtf8(section) << " address in " << ServerConfigPath(root)
              << "; use --listen HOST:PORT\n";
    return 1;
  }
  *host = ToUtf8(ip);
  return 0;
}

// What a stand-in server starts with.
struct ToolSetup {
  std::string root;    // ends in "/"
  std::string events;  // --events FILE; empty when not given
  std::string host;    // where to listen
  uint16_t port = 0;
};

// Reads the command line of a stand-in server: --root DIR, --listen HOST:PORT and, when
// `eventsAllowed`, --events FILE, then the listen address (ListenAddress with `section`). The
// root defaults to the install root. nullopt when ready; otherwise the exit code: 0 after --help
// or --version, 2 for a bad command line (said with the usage), 1 when no address is known.
inline std::optional<int> ReadToolSetup(const char* program, const std::string& description,
                                        std::u16string_view section, bool eventsAllowed, int argc,
                                        char** argv, ToolSetup* out) {
  std::unique_ptr<CLI::App> app = NewCommandLine(program, description);
  std::string listen;
  const CLI::Option* rootGiven =
      app->add_option("--root", out->root, "install root (default: above bin/, or PIGEONBOX_ROOT)")
          ->option_text("DIR");
  app->add_option("--listen", listen,
                  "address to listen on (default: the " + ToUtf8(section) +
                      " section of Config/KVTServer.xml)")
      ->option_text("HOST:PORT")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            std::string host;
            uint16_t port = 0;
            return SplitHostPort(value, &host, &port) ? "" : "wants HOST:PORT, not " + value;
          },
          ""));
  if (eventsAllowed) {
    app->add_option("--events", out->events,
                    "file of the system-log events (default: Logs/ConfigCentreEvents.jsonl)")
        ->option_text("FILE");
  }
  if (std::optional<int> done = ParseCommandLine(*app, argc, argv)) return done;
  if (rootGiven->count() == 0) out->root = GetInstallRoot();
  if (!out->root.empty() && out->root.back() != '/') out->root += '/';
  if (int result = ListenAddress(program, out->root, section, listen, &out->host, &out->port);
      result != 0) {
    return result;
  }
  return std::nullopt;
}

// The server's log: <root>Logs/<fileName>, or stderr when that file cannot be opened.
class ToolLog {
 public:
  ToolLog(const char* program, const std::string& root, const std::string& fileName)
      : file_(std::make_unique<LogFile>()), toFile_(file_->Open(root + "Logs/", fileName)) {
    if (!toFile_) std::cerr << program << ": cannot open the log file, logging to stderr\n";
  }
  void Write(std::u16string_view line) {
    if (toFile_) {
      file_->WriteLine(line);
    } else {
      std::cerr << ToUtf8(line) << "\n";
    }
  }
  std::function<void(std::u16string_view)> Sink() {
    return [this](std::u16string_view line) { Write(line); };
  }

 private:
  std::unique_ptr<LogFile> file_;
  bool toFile_;
};

// Blocks SIGINT, SIGTERM and `extra` (0: none) in the calling thread and every thread it starts
// afterwards; the main thread then takes them with sigwait.
inline sigset_t BlockStopSignals(int extra = 0) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (extra != 0) sigaddset(&signals, extra);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

}  // namespace pigeonbox::standin
