// The user side of the application-server protocol: a client session that logs in as a user,
// sends messages through the server and receives the texts and data that applications send to
// it. Used by tools and tests; one object per session, one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "suite/appserver_wire.h"

namespace pigeonbox {

// A message an application sent to this user.
struct UserDelivery {
  std::u16string route[4];  // the four routing texts as the application gave them
  bool isText = false;      // SendTextMsg (text) or SendMsgWEx (data)
  std::u16string text;
  std::string data;
};

// What a user sends; the server fills in the Sender with the logged-in name.
struct UserMessage {
  std::u16string srcIdentifier;
  std::u16string type;
  std::u16string receiver;
  std::u16string receiverList;
  std::u16string data;
  int32_t value = 0;
};

// The whole frame (length prefix included) in which a logged-in user sends `message`.
std::string UserSendFrame(const UserMessage& message);

class AppServerUser {
 public:
  AppServerUser() = default;
  ~AppServerUser();
  AppServerUser(const AppServerUser&) = delete;
  AppServerUser& operator=(const AppServerUser&) = delete;

  // Connects and logs in; 0 or a code of appwire::ResultCode with the reason in *errorText.
  int32_t Login(const std::string& host, uint16_t port, std::u16string_view user,
                std::u16string* errorText = nullptr);
  // 0 once the message is handed to the server.
  int32_t Send(const UserMessage& message);
  // The next delivery, or nothing when none arrives in time or the connection is gone.
  std::optional<UserDelivery> Receive(std::chrono::milliseconds timeout);
  void Close();

 private:
  int fd_ = -1;
  appwire::FrameBuffer inbox_;
};

}  // namespace pigeonbox
