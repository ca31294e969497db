// Frames of the application-server protocol (docs/appserver-protocol.md).
//
// A frame is a little-endian u32 body length followed by the body: one operation byte and its
// fields. Fields are little-endian 32-bit integers, texts (u32 byte count, then UTF-16LE) and
// byte strings (u32 byte count, then the bytes). Bodies are at most kMaxFrameBytes long; a
// longer announced length is a protocol error and the connection is closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pigeonbox::appwire {

inline constexpr uint32_t kMaxFrameBytes = 1u << 20;

enum class Op : uint8_t {
  // Sent by applications.
  kRegister = 0x01,    // identity, name, priority, registration markup -> kResult
  kStart = 0x02,       // identity -> kResult; deliveries follow
  kUnregister = 0x03,  // identity -> kResult
  kAppSend = 0x04,     // identity, r1..r4, kind, payload (no answer)
  // Sent by anyone.
  kVersion = 0x05,  // -> kVersionReply
  // Sent by user clients.
  kLogin = 0x06,     // user name -> kResult
  kUserSend = 0x07,  // SrcIdentifier, Type, Receiver, receiver list, data text, value
  // Sent by the server.
  kResult = 0x81,        // code, error text
  kDeliver = 0x82,       // SrcIdentifier, Type, Sender, Receiver, receiver list, data, value
  kUserReceive = 0x83,   // r1..r4, kind, payload
  kVersionReply = 0x85,  // version text
};

// Result codes. The server answers 1..4 in kResult; the client libraries return 101..105
// themselves. 0 is success everywhere.
enum ResultCode : int32_t {
  kOk = 0,
  kBadRequest = 1,         // empty identity or name, unreadable registration markup
  kDuplicateIdentity = 2,  // another connection holds that application identity
  kNotRegistered = 3,      // the identity is not registered on this connection
  kWrongState = 4,         // e.g. registering twice, or logging in as an application
  kUnreachable = 101,      // no connection to the server
  kConnectionLost = 102,   // the connection broke during the call
  kNoAnswer = 103,         // the server did not answer in time
  kNotStarted = 104,       // a send before StartApp or after the connection was lost
  kTooLarge = 105,         // the message would exceed kMaxFrameBytes
};

// Payload kinds of kAppSend and kUserReceive.
enum class PayloadKind : uint8_t { kText = 0, kData = 1 };

// UTF-16LE bytes of a text, and back (an odd last byte is dropped).
std::string EncodeUtf16Le(std::u16string_view text);
std::u16string DecodeUtf16Le(std::string_view bytes);
// The same into `out`, which has room for bytes.size() / 2 units.
void DecodeUtf16LeTo(std::string_view bytes, char16_t* out);

// Builds one frame, length prefix included.
class FrameWriter {
 public:
  // `bodyBytes`: about how long the body will be, so that it is allocated once.
  explicit FrameWriter(Op op, size_t bodyBytes = 0);
  FrameWriter& U8(uint8_t value);
  FrameWriter& I32(int32_t value);
  FrameWriter& Text(std::u16string_view text);
  // A text given as its UTF-16LE bytes (an even count), as FrameReader::TextBytes reads it.
  FrameWriter& TextBytes(std::string_view bytes);
  FrameWriter& Bytes(std::string_view bytes);
  // The finished frame. The writer is left empty.
  std::string Finish();

 private:
  void U32(uint32_t value);
  std::string out_;
};

// Reads the fields of one frame body in order. Every read returns false, and every later read
// fails too, when the body ends early or a text has an odd byte count.
class FrameReader {
 public:
  explicit FrameReader(std::string_view body);
  // The operation byte; 0 for an empty body.
  uint8_t op() const { return op_; }
  bool U8(uint8_t* value);
  bool I32(int32_t* value);
  bool Text(std::u16string* text);
  // A text's UTF-16LE bytes as they lie in the body (an even count), without decoding them.
  bool TextBytes(std::string_view* bytes);
  bool Bytes(std::string* bytes);
  // True when every read succeeded and the whole body was consumed.
  bool Done() const { return ok_ && rest_.empty(); }

 private:
  bool Take(size_t count, std::string_view* out);
  std::string_view rest_;
  uint8_t op_ = 0;
  bool ok_ = true;
};

// Collects the bytes read from a stream and cuts them into frame bodies.
class FrameBuffer {
 public:
  enum class Result { kNeedMore, kFrame, kTooLarge };
  void Append(const char* data, size_t size);
  // The next complete body into *body; kTooLarge when a frame announces more than
  // kMaxFrameBytes or an empty body (the stream cannot be trusted any further).
  Result Next(std::string* body);

 private:
  std::string data_;
  size_t start_ = 0;
};

}  // namespace pigeonbox::appwire
