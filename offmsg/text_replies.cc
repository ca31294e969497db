#include "offmsg/text_replies.h"

#include <chrono>
#include <optional>
#include <vector>

#include "base/format.h"
#include "base/text.h"
#include "link/wire/envelope.h"
#include "link/wire/reply_packet.h"
#include "markup/base64.h"
#include "offmsg/reply_forms.h"
#include "suite/xow_zip.h"

namespace pigeonbox {
namespace {

using std::chrono::milliseconds;

constexpr uint32_t kTxtUnpackBytes = 13312;
constexpr uint32_t kTxtRepackBytes = 3071;
constexpr uint32_t kUnpackBytes = 3600;
// The EX block holds the 4 length bytes and the stored block in 3072 bytes.
constexpr size_t kMaxExBlockBytes = 3068;
constexpr int kRepliesPerPause = 20;

std::vector<TextRecord> FetchParts(ServiceContext& context, const RequestRecord& request,
                                   std::u16string_view msgId) {
  std::vector<TextRecord> parts;
  context.store.GetOffMsgTxt(request.Sender, msgId, &parts);
  return parts;
}

// The 4-byte little-endian length followed by the bytes, in Base64 lines.
std::u16string LengthPrefixedBase64(const uint8_t* bytes, uint32_t length) {
  std::vector<uint8_t> block(4 + length);
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(length >> (8 * i));
  std::copy(bytes, bytes + length, block.begin() + 4);
  return Base64EncodeWide(block.data(), block.size());
}

void SetCommonItems(WideEnvelope* envelope, std::u16string_view command, const TextRecord& part) {
  envelope->SetItem(u"Command", kTypeString, command);
  envelope->SetItem(u"Type", kTypeString, part.Type);
  envelope->SetItem(u"SrcIdentifier", kTypeString, part.SrcIdentifier);
  envelope->SetItem(u"CreateTime", kTypeLong, DecimalText(part.CreateTime));
}

// A pause after every 20 replies of one request.
class Pacer {
 public:
  explicit Pacer(Sleeper& sleeper) : sleeper_(sleeper) {}
  void Count() {
    if (++replies_ == kRepliesPerPause) {
      replies_ = 0;
      sleeper_.Sleep(milliseconds(200));
    }
  }

 private:
  Sleeper& sleeper_;
  int replies_ = 0;
};

// The decompressed part in a zeroed buffer of kUnpackBytes, and its length. nullopt (logged)
// when it does not decompress or its length is 0 or fills the buffer.
struct Unpacked {
  std::vector<uint8_t> buffer;
  uint32_t length = 0;
  // The text up to its zero unit; a text without one is cut at the buffer's end.
  std::u16string Text() const { return TextFromUtf16LeBytes(buffer.data(), buffer.size()); }
};

std::optional<Unpacked> Unpack(LogFile& log, const TextRecord& part) {
  Unpacked out;
  out.buffer.assign(kUnpackBytes, 0);
  out.length = kUnpackBytes;
  if (xowzip::UnCompress(out.buffer.data(), &out.length, part.Data.data(),
                         static_cast<uint32_t>(part.Data.size())) != xowzip::kOk) {
    log.Log(u"解压离线消息内容失败，丢弃");
    return std::nullopt;
  }
  if (out.length == 0 || out.length >= kUnpackBytes) {
    log.Log(u"离线消息长度不正确，丢弃");
    return std::nullopt;
  }
  return out;
}

// The replies of one request. Each goes out whole or not at all; the parts whose replies were
// sent are collected for the delete that follows.
class PartReplies {
 public:
  // `logSendFailures`: the newer forms log a failed send.
  PartReplies(ServiceContext& context, const RequestRecord& request, std::u16string_view msgId,
              std::u16string_view command, bool logSendFailures)
      : context_(context),
        request_(request),
        msgId_(msgId),
        command_(command),
        logSendFailures_(logSendFailures) {}

  // Each returns true when the reply was handed to the link (sent or not), false when it was
  // refused because it would not go out whole.

  // An envelope reply, unless its text is longer than the reply buffer takes.
  bool SendEnvelope(const TextRecord& part, std::u16string_view text) {
    if (text.size() > kTextReplyUnits - 1) return Refuse(part, text.size(), kTextReplyUnits - 1);
    return Note(part, SendEnvelopeText(context_.owner, Routing(part), text, kTextReplyUnits));
  }
  // A packet reply whose elements need `size` bytes; `whole` tells whether all were written
  // (WriteWholePacket).
  bool SendPacket(const TextRecord& part, const ReplyPacket& packet, size_t size, bool whole) {
    if (!whole) return Refuse(part, size, kPacketReplyBytes);
    return Note(part, pigeonbox::SendPacket(context_.owner, Routing(part), packet));
  }
  bool SendTyped(const TextRecord& part, const TypedEnvelope& envelope) {
    return Note(part, SendTypedEnvelope(context_.owner, Routing(part), envelope));
  }

  DeliveredParts Delivered() && { return std::move(delivered_); }

 private:
  ReplyRouting Routing(const TextRecord& part) const {
    return TextRoutingOf(request_, part.Sender);
  }
  bool Note(const TextRecord& part, int32_t sent) {
    if (sent == 0) {
      delivered_.push_back(part.Key);
    } else if (logSendFailures_) {
      context_.log.Log(u"发送离线消息数据失败，错误码：%d", sent);
    }
    return true;
  }
  bool Refuse(const TextRecord& part, size_t size, size_t capacity) {
    LogReplyDoesNotFit(context_.log, u"Text reply does not fit its form, not sent, message kept",
                       request_, msgId_, command_,
                       FormatText(u"Addr=%d,Len=%d,", part.Key.entry.Addr, part.Key.entry.Len),
                       size, capacity);
    return false;
  }

  ServiceContext& context_;
  const RequestRecord& request_;
  const std::u16string_view msgId_;
  const std::u16string_view command_;
  const bool logSendFailures_;
  DeliveredParts delivered_;
};

}  // namespace

DeliveredParts SendTxt(ServiceContext& context, const RequestRecord& request,
                       std::u16string_view msgId) {
  PartReplies replies(context, request, msgId, u"GET_OFFMSG_TXT", false);
  WideEnvelope envelope;
  std::vector<uint8_t> unpacked(kTxtUnpackBytes);
  for (TextRecord& part : FetchParts(context, request, msgId)) {
    SetCommonItems(&envelope, u"GET_OFFMSG_TXT", part);
    envelope.SetItem(u"Sender", kTypeString, part.Sender);
    envelope.SetItem(u"Reciever", kTypeString, part.Reciever);

    std::fill(unpacked.begin(), unpacked.end(), 0);
    uint32_t unpackedLength = kTxtUnpackBytes;
    const int unzipped = xowzip::UnCompress(unpacked.data(), &unpackedLength, part.Data.data(),
                                            static_cast<uint32_t>(part.Data.size()));
    part.Data.clear();
    if (unzipped != xowzip::kOk) {
      context.log.Log(u"解压失败。");
      continue;
    }
    // Old clients read the text in the system code page, with its zero byte.
    std::string ansi = ToAnsi(TextFromUtf16LeBytes(unpacked.data(), unpacked.size()));
    ansi.push_back('\0');
    uint8_t packed[kTxtRepackBytes];
    uint32_t packedLength = kTxtRepackBytes;
    const int zipped =
        xowzip::Compress(packed, &packedLength, reinterpret_cast<const uint8_t*>(ansi.data()),
                         static_cast<uint32_t>(ansi.size()));
    if (zipped != xowzip::kOk) {
      context.log.Log(u"压缩失败：err=%ld,ulCompLen=%d,iLen=%ld", zipped, packedLength,
                      ansi.size());
      continue;
    }
    envelope.SetItem(u"MsgTxt", kTypeBuffer, LengthPrefixedBase64(packed, packedLength));
    replies.SendEnvelope(part, envelope.Text());
  }
  return std::move(replies).Delivered();
}

DeliveredParts SendTxtEx(ServiceContext& context, const RequestRecord& request,
                         std::u16string_view msgId) {
  PartReplies replies(context, request, msgId, u"GET_OFFMSG_TXT_EX", false);
  for (TextRecord& part : FetchParts(context, request, msgId)) {
    if (part.Data.size() > kMaxExBlockBytes) {
      context.log.Log(u"离线消息压缩数据过长，丢弃：%u字节", part.Data.size());
      continue;
    }
    WideEnvelope envelope;  // each reply holds only its own part's items
    SetCommonItems(&envelope, u"GET_OFFMSG_TXT_EX", part);
    envelope.SetItem(u"Sender", kTypeString, part.Sender);
    envelope.SetItem(u"Reciever", kTypeString, part.Reciever);
    envelope.SetItem(
        u"MsgTxt", kTypeBuffer,
        LengthPrefixedBase64(part.Data.data(), static_cast<uint32_t>(part.Data.size())));
    part.Data.clear();
    if (!replies.SendEnvelope(part, envelope.Text())) continue;
    // One pace for all requests of this form: every 20th reply of the service pauses.
    if ((context.txtExReplies.fetch_add(1) + 1) % kRepliesPerPause == 0) {
      context.txtExReplies.fetch_sub(kRepliesPerPause);
      context.sleeper.Sleep(milliseconds(100));
    }
  }
  return std::move(replies).Delivered();
}

DeliveredParts SendTxtEx2(ServiceContext& context, const RequestRecord& request,
                          std::u16string_view msgId) {
  PartReplies replies(context, request, msgId, u"GET_OFFMSG_TXT_EX2", true);
  Pacer pacer(context.sleeper);
  WideEnvelope envelope;
  for (TextRecord& part : FetchParts(context, request, msgId)) {
    SetCommonItems(&envelope, u"GET_OFFMSG_TXT_EX2", part);
    envelope.SetItem(u"Reciever", kTypeString, part.Reciever);
    const std::optional<Unpacked> unpacked = Unpack(context.log, part);
    part.Data.clear();
    if (!unpacked) continue;
    envelope.SetItem(u"MsgTxt", kTypeString, unpacked->Text());
    if (replies.SendEnvelope(part, envelope.Text())) pacer.Count();
  }
  return std::move(replies).Delivered();
}

DeliveredParts SendTxtEx3Packet(ServiceContext& context, const RequestRecord& request,
                                std::u16string_view msgId) {
  static constexpr std::u16string_view kCommand = u"GET_OFFMSG_TXT_EX3";
  PartReplies replies(context, request, msgId, kCommand, true);
  Pacer pacer(context.sleeper);
  for (TextRecord& part : FetchParts(context, request, msgId)) {
    const std::optional<Unpacked> unpacked = Unpack(context.log, part);
    part.Data.clear();
    if (!unpacked) continue;
    // Command, status, Type, Reciever, the text's length and bytes, CreateTime.
    const size_t size = ShortTextSize(kCommand) + 1 + ShortTextSize(part.Type) +
                        LongTextSize(part.Reciever) + 2 + unpacked->length + 4;
    ReplyPacket packet;
    const bool whole = WriteWholePacket(&packet, size, [&](ReplyPacket& p) {
      return PutShortText(&p, kCommand) && p.PutU8(0) && PutShortText(&p, part.Type) &&
             PutLongText(&p, part.Reciever) && p.PutU16(static_cast<uint16_t>(unpacked->length)) &&
             p.PutBytes(unpacked->buffer.data(), unpacked->length) &&
             p.PutU32(static_cast<uint32_t>(part.CreateTime));
    });
    if (replies.SendPacket(part, packet, size, whole)) pacer.Count();
  }
  return std::move(replies).Delivered();
}

DeliveredParts SendTxtEx3Typed(ServiceContext& context, const RequestRecord& request,
                               std::u16string_view msgId, uint32_t minTime) {
  PartReplies replies(context, request, msgId, u"GET_OFFMSG_TXT_EX3", true);
  Pacer pacer(context.sleeper);
  std::vector<TextRecord> parts;
  context.store.GetOffMsgTxtSince(request.Sender, msgId, minTime, &parts);
  for (TextRecord& part : parts) {
    TypedEnvelope envelope;
    envelope.SetString(u"Command", u"GET_OFFMSG_TXT_EX3");
    envelope.SetLong(u"Result", 0);
    envelope.SetString(u"Type", part.Type);
    envelope.SetString(u"Reciever", part.Reciever);
    const std::optional<Unpacked> unpacked = Unpack(context.log, part);
    part.Data.clear();
    if (!unpacked) continue;
    envelope.SetString(u"MsgTxt", unpacked->Text());
    envelope.SetLong(u"CreateTime", part.CreateTime);
    if (replies.SendTyped(part, envelope)) pacer.Count();
  }
  return std::move(replies).Delivered();
}

}  // namespace pigeonbox
