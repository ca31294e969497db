// Fuzzes the messages of the configuration-centre protocol as a client or the centre reads them
// from the network: the input is a byte stream cut into frames, and every frame body that decodes
// must encode back to the same frame and decode again to the same message.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "suite/appserver_wire.h"
#include "suite/config_centre_wire.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckBody(const std::string& body) {
  using namespace pigeonbox::ccwire;
  Message message;
  if (!Decode(body, &message)) return;
  std::string frame = Encode(message);
  Check(frame.size() == body.size() + 4);
  Check(frame.compare(4, std::string::npos, body) == 0);
  Message again;
  Check(Decode(std::string_view(frame).substr(4), &again));
  Check(again.wanted == message.wanted && again.wantedOther == message.wantedOther &&
        again.items == message.items && again.otherItems == message.otherItems &&
        again.guid == message.guid && again.text == message.text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input as one body, then as a stream of length-prefixed frames.
  CheckBody(std::string(reinterpret_cast<const char*>(data), size));
  pigeonbox::appwire::FrameBuffer stream;
  stream.Append(reinterpret_cast<const char*>(data), size);
  std::string body;
  while (stream.Next(&body) == pigeonbox::appwire::FrameBuffer::Result::kFrame) CheckBody(body);
  return 0;
}
