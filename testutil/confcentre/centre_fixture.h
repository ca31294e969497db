// Test helpers for the configuration-centre client: an install root whose server configuration
// points at an in-process stand-in centre, a listener that records the owner's notices, and
// bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "link/contracts/link_services.h"
#include "suite/config_centre_server.h"
#include "testutil/log_lines.h"
#include "testutil/temp_dir.h"
#include "testutil/wait_until.h"

namespace pigeonbox::testutil {

class RecordingListener : public ConfigChangeListener {
 public:
  void OnConfigChanged(std::u16string_view name, std::u16string_view content) override {
    std::lock_guard lock(mutex_);
    changes_.push_back({std::u16string(name), std::u16string(content)});
  }
  void OnOtherConfigChanged() override {}
  std::vector<std::pair<std::u16string, std::u16string>> changes() {
    std::lock_guard lock(mutex_);
    return changes_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::u16string, std::u16string>> changes_;
};

class CentreFixture {
 public:
  CentreFixture()
      : centre_(
            [this](std::u16string_view line) {
              std::lock_guard lock(mutex_);
              centreLog_.push_back(ToUtf8(line));
            },
            dir_.path() + "events.jsonl") {
    std::string error;
    if (!centre_.Start("127.0.0.1", 0, &error)) throw std::runtime_error(error);
  }

  // Config/KVTServer.xml with the centre's address, the service's GUID and, when `heldVersion`
  // is not negative, a held Basic_Setting item of that version.
  void WriteServerConfig(const std::string& guid, int heldVersion = -1) {
    std::string held = heldVersion < 0 ? ""
                                       : "<Basic_Setting Ver=\"" + std::to_string(heldVersion) +
                                             "\"><TCPPort>8015</TCPPort></Basic_Setting>";
    dir_.Write("Config/KVTServer.xml",
               "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<KVTServers><ConfigCenter>"
               "<Basic_Setting><IP>127.0.0.1</IP><TCPPort>" +
                   std::to_string(centre_.port()) +
                   "</TCPPort></Basic_Setting></ConfigCenter><Pigeonbox GUID=\"" + guid + "\">" +
                   held + "</Pigeonbox></KVTServers>\r\n");
  }

  void SetCentreItem(std::u16string_view content, uint32_t version) {
    centre_.SetItem({u"Pigeonbox", u"Basic_Setting", std::u16string(content), version});
  }

  bool CentreLogHas(const std::string& piece) {
    std::lock_guard lock(mutex_);
    for (const auto& line : centreLog_) {
      if (line.find(piece) != std::string::npos) return true;
    }
    return false;
  }

  // The lines of <root>Logs/Pigeonbox.log without their time and thread prefix.
  std::vector<std::string> ServiceLog() const { return LogLinesOf(dir_, "Logs/Pigeonbox.log"); }

  // The events file's lines.
  std::vector<std::string> Events() const {
    std::vector<std::string> lines;
    std::string text = dir_.Read("events.jsonl");
    for (size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
      lines.push_back(text.substr(begin, end - begin));
    }
    return lines;
  }

  TempDir dir_;
  std::mutex mutex_;
  std::vector<std::string> centreLog_;
  ConfigCentre centre_;  // after the log it writes to
};

}  // namespace pigeonbox::testutil
