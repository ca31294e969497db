#include "suite/appserver_user.h"

#include <unistd.h>

#include "suite/appserver_socket.h"

namespace pigeonbox {

using appwire::FrameReader;
using appwire::FrameWriter;
using appwire::Op;

AppServerUser::~AppServerUser() {
  Close();
}

void AppServerUser::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  inbox_ = {};
}

int32_t AppServerUser::Login(const std::string& host, uint16_t port, std::u16string_view user,
                             std::u16string* errorText) {
  Close();
  fd_ = appwire::ConnectTcp(host, port);
  if (fd_ < 0) {
    appwire::CopyCapped(u"cannot connect to the application server", errorText, 512);
    return appwire::kUnreachable;
  }
  std::string body;
  if (!appwire::SendAll(fd_, FrameWriter(Op::kLogin).Text(user).Finish()) ||
      appwire::ReadFrame(fd_, &inbox_, &body, std::chrono::seconds(5)) !=
          appwire::ReadResult::kFrame) {
    Close();
    appwire::CopyCapped(u"the application server did not answer", errorText, 512);
    return appwire::kNoAnswer;
  }
  FrameReader reader(body);
  int32_t code = appwire::kConnectionLost;
  std::u16string text = u"malformed answer from the application server";
  if (reader.op() != static_cast<uint8_t>(Op::kResult) || !reader.I32(&code) ||
      !reader.Text(&text)) {
    code = appwire::kConnectionLost;
  }
  appwire::CopyCapped(text, errorText, 512);
  if (code != 0) Close();
  return code;
}

std::string UserSendFrame(const UserMessage& message) {
  const size_t units = message.srcIdentifier.size() + message.type.size() +
                       message.receiver.size() + message.receiverList.size() + message.data.size();
  return FrameWriter(Op::kUserSend, 1 + 5 * 4 + 2 * units + 4)
      .Text(message.srcIdentifier)
      .Text(message.type)
      .Text(message.receiver)
      .Text(message.receiverList)
      .Text(message.data)
      .I32(message.value)
      .Finish();
}

int32_t AppServerUser::Send(const UserMessage& message) {
  if (fd_ < 0) return appwire::kNotStarted;
  const std::string frame = UserSendFrame(message);
  if (frame.size() - 4 > appwire::kMaxFrameBytes) return appwire::kTooLarge;
  return appwire::SendAll(fd_, frame) ? 0 : appwire::kConnectionLost;
}

std::optional<UserDelivery> AppServerUser::Receive(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return std::nullopt;
  std::string body;
  if (appwire::ReadFrame(fd_, &inbox_, &body, timeout) != appwire::ReadResult::kFrame) {
    return std::nullopt;
  }
  FrameReader reader(body);
  UserDelivery delivery;
  uint8_t kind = 0;
  std::string payload;
  if (reader.op() != static_cast<uint8_t>(Op::kUserReceive)) return std::nullopt;
  for (auto& text : delivery.route) reader.Text(&text);
  reader.U8(&kind);
  reader.Bytes(&payload);
  if (!reader.Done()) return std::nullopt;
  delivery.isText = kind == static_cast<uint8_t>(appwire::PayloadKind::kText);
  if (delivery.isText) {
    delivery.text = appwire::DecodeUtf16Le(payload);
  } else {
    delivery.data = std::move(payload);
  }
  return delivery;
}

}  // namespace pigeonbox
