#include "offmsg/store_path.h"

#include <pthread.h>
#include <sys/random.h>

#include <cstdint>
#include <cstring>

#include "base/text.h"
#include "link/wire/envelope.h"
#include "metrics/server_metrics.h"
#include "offmsg/receiver_summary.h"

namespace pigeonbox {
namespace {

constexpr size_t kMaxOuterNameUnits = 31;

void KernelRandomBytes(uint8_t* bytes, size_t size) {
  size_t filled = 0;
  while (filled < size) {
    const ssize_t n = getrandom(bytes + filled, size - filled, 0);
    if (n > 0) filled += static_cast<size_t>(n);
    // n < 0 is EINTR (the pool is initialised long before a server runs): try again.
  }
}

// Random bytes for new message ids, taken from the kernel a block at a time: one system call for
// 64 ids instead of one each. Every thread has a block of its own; a forked child throws its
// copy away, so that it never repeats its parent's ids.
class RandomBlock {
 public:
  static RandomBlock& OfThisThread() {
    static const bool forkHandled =
        pthread_atfork(nullptr, nullptr, [] { OfThisThread().used_ = kSize; }) == 0;
    (void)forkHandled;
    thread_local RandomBlock block;
    return block;
  }

  void Take(uint8_t* out, size_t size) {
    if (kSize - used_ < size) {
      KernelRandomBytes(bytes_, kSize);
      used_ = 0;
    }
    std::memcpy(out, bytes_ + used_, size);
    used_ += size;
  }

 private:
  static constexpr size_t kSize = 1024;
  uint8_t bytes_[kSize];
  size_t used_ = kSize;
};

// The items a stored message takes from its envelope, read in one walk over the items.
enum StoredItem { kTitle, kKey, kSessionDescription, kDisGroupId, kOuterIM, kStoredItems };
constexpr std::u16string_view kStoredItemKeys[kStoredItems] = {
    u"Title", u"Key", u"SessionDescription", u"DisGroupId", u"OuterIM"};

}  // namespace

bool PassesWordLimit(std::u16string_view type, std::u16string_view envelopeText) {
  if (!EqualsIgnoreAsciiCase(type, u"Quorvel.KVT.Sms")) return true;
  NarrowEnvelope envelope;
  std::u16string command;
  if (!envelope.Load(envelopeText) || !envelope.GetString(u"Command", &command, 31)) return true;
  return !EqualsIgnoreAsciiCase(command, u"GetWordLimit");
}

std::vector<std::u16string> SplitReceivers(std::u16string_view receivers, bool outerIm) {
  std::vector<std::u16string> names;
  size_t start = 0;
  while (start <= receivers.size()) {
    size_t stop = receivers.find(u';', start);
    if (stop == std::u16string_view::npos) stop = receivers.size();
    const std::u16string_view piece = receivers.substr(start, stop - start);
    start = stop + 1;
    if (piece.empty()) continue;
    if (!outerIm) {
      names.emplace_back(piece);
      continue;
    }
    const size_t bracket = piece.find(u'[');
    if (piece.size() < 10) continue;
    if (bracket != std::u16string_view::npos && piece.size() - bracket - 1 > 9) continue;
    names.emplace_back(piece.substr(0, std::min(bracket, kMaxOuterNameUnits)));
  }
  return names;
}

std::u16string NewMessageId() {
  uint8_t b[16];
  RandomBlock::OfThisThread().Take(b, sizeof b);
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4: a random GUID
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  // Upper-case hex in the groups 4-2-2-2-6 bytes, as "%08X-%04X-%04X-%02X%02X-%02X...%02X".
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string id;
  id.reserve(36);
  for (size_t i = 0; i < sizeof b; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += u'-';
    id += kDigits[b[i] >> 4];
    id += kDigits[b[i] & 15];
  }
  return id;
}

int StoreMessage(ServiceContext& context, const DecodedMessage& message,
                 std::u16string_view receivers) {
  const RequestRecord& request = message.record;
  if (!PassesWordLimit(request.Type, message.data)) {
    metrics::Server().refusedWordLimit.Inc();
    return 1;
  }

  // An envelope that does not parse is still stored; it just carries no items.
  NarrowEnvelope envelope;
  envelope.Load(message.data);
  std::u16string items[kStoredItems];
  const uint32_t found = envelope.GetStringsW(kStoredItemKeys, items);
  IndexRecord record;
  record.Title = std::move(items[kTitle]);
  record.MsgID = std::move(items[kKey]);
  record.SessionDescription = std::move(items[kSessionDescription]);
  const bool groupMessage = found >> kDisGroupId & 1;
  const bool outerIm = found >> kOuterIM & 1;
  if (record.MsgID.empty()) record.MsgID = NewMessageId();

  const std::vector<std::u16string> names = SplitReceivers(receivers, outerIm);
  record.CreateTime = static_cast<int32_t>(context.clock.Now());
  record.SrcIdentifier = request.SrcIdentifier;
  record.Type = request.Type;
  record.Sender = request.Sender;
  record.Reciever = groupMessage ? ReceiverSummary(names) : request.Reciever;

  for (const std::u16string& name : names) {
    if (context.excluded.Contains(name)) {
      metrics::Server().refusedExcluded.Inc();
      continue;
    }
    // Failures are logged by the store; the other receivers still get their copy.
    if (groupMessage) {
      context.store.AddDisGroupOffMsg(name, message.data, record);
    } else {
      context.store.AddOffMsg(name, message.data, record);
    }
  }
  return 1;
}

}  // namespace pigeonbox
