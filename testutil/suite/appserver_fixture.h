// Test helpers for the application-server stand-in: an in-process server on a free port, and an
// inbox that records what the message callback receives.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "suite/app_server_api.h"
#include "suite/appserver.h"

namespace pigeonbox::testutil {

// The nine callback arguments of one delivered message (the leading and trailing values too).
struct Received {
  uint32_t leading = 0;
  std::u16string srcIdentifier, type, sender, receiver, receiverList, data;
  uint32_t value = 0;
  uint32_t trailing = 0;
};

class Inbox {
 public:
  AppMessageCallback Callback() {
    return [this](uint32_t leading, const char16_t* src, const char16_t* type,
                  const char16_t* sender, const char16_t* receiver, const char16_t* list,
                  const char16_t* data, uint32_t value, uint32_t trailing) {
      std::lock_guard lock(mutex_);
      messages_.push_back({leading, src, type, sender, receiver, list, data, value, trailing});
      changed_.notify_all();
    };
  }
  // Waits (at most 10 s, a failure bound only) until `count` messages have arrived.
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return messages_.size() >= count; });
  }
  std::vector<Received> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> messages_;
};

class AppServerTest : public ::testing::Test {
 protected:
  static constexpr char16_t kTypes[] =
      u"<AppRegInfo><Request_Type>IM_Msg|Group_Msg|</Request_Type></AppRegInfo>";

  void SetUp() override {
    server_ = std::make_unique<AppServer>([this](std::u16string_view line) {
      std::lock_guard lock(logMutex_);
      log_.push_back(ToUtf8(line));
    });
    std::string error;
    ASSERT_TRUE(server_->Start("127.0.0.1", 0, &error)) << error;
    port_ = server_->port();
  }

  // Registers and starts an application; 0 or the first failing result.
  int32_t Launch(AppServerClient& app, std::u16string_view identity, std::u16string_view name,
                 Inbox* inbox, std::function<void()> onExit = nullptr) {
    std::u16string error;
    int32_t code = app.RegisterApp(u"127.0.0.1", port_, identity, name, 5, kTypes, &error, 512);
    if (code != 0) return code;
    AppCallbacks callbacks{std::move(onExit), inbox ? inbox->Callback() : nullptr};
    return app.StartApp(u"127.0.0.1", port_, identity, u"", callbacks, 16, &error, 512);
  }

  bool LogHas(const std::string& piece) {
    std::lock_guard lock(logMutex_);
    for (const auto& line : log_) {
      if (line.find(piece) != std::string::npos) return true;
    }
    return false;
  }

  std::mutex logMutex_;
  std::vector<std::string> log_;
  std::unique_ptr<AppServer> server_;  // after the log, which it writes to while stopping
  uint16_t port_ = 0;
};

}  // namespace pigeonbox::testutil
