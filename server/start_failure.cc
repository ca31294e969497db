#include "server/start_failure.h"

#include <sys/stat.h>

#include <deque>
#include <fstream>

#include "base/text.h"
#include "link/offmsg_app.h"

namespace pigeonbox {
namespace {

// Enough for the start's reason and the stop lines after it.
constexpr size_t kShownLines = 12;

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

std::string LinkStartFailure(int result, const AppConfig* config) {
  switch (result) {
    case OffMsgApp::kLogFailed:
      return "cannot open the log file";
    case OffMsgApp::kInitFailed:
      return "cannot read the application's settings (AppConfig/AppOffMsg.xml)";
    case OffMsgApp::kRegisterFailed:
      return "cannot register with the application server" +
             (config ? " at " + ToUtf8(config->appSvrIp) + ":" + std::to_string(config->appSvrPort)
                     : std::string()) +
             " (Config/KVTServer.xml, APPServer)";
    case OffMsgApp::kStartAppFailed:
      return "the application server did not start the application";
    case OffMsgApp::kServicesFailed:
      return "the offline-message service or the file-transfer service did not start "
             "(the store, the user database or the transfer port)";
    default:
      return "start result " + std::to_string(result);
  }
}

LogTranscript::LogTranscript(std::string path) : path_(std::move(path)), start_(FileSize(path_)) {}

std::vector<std::string> LogTranscript::Lines(size_t maxLines) const {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return {};
  // A smaller file than at the start was rotated: all of it is this start's.
  if (FileSize(path_) >= start_) in.seekg(static_cast<std::streamoff>(start_));
  std::deque<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    if (lines.size() > maxLines) lines.pop_front();
  }
  return {lines.begin(), lines.end()};
}

void PrintStartFailure(std::ostream& out, const std::string& reason,
                       const LogTranscript& transcript) {
  out << "Pigeonbox: the start failed: " << reason << "\n"
      << "Pigeonbox: the log is " << transcript.path() << "; the start's last lines:\n";
  for (const std::string& line : transcript.Lines(kShownLines)) out << "  " << line << "\n";
  out.flush();
}

}  // namespace pigeonbox
