#include "store/text_file_store.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "suite/xow_zip.h"

namespace pigeonbox {
namespace {

// The text as UTF-16LE bytes including its terminating zero unit, which c_str() provides.
// Little-endian machines use the string's own storage; others get a converted copy.
const uint8_t* LittleEndianBytes(const std::u16string& text, std::vector<uint8_t>* copy) {
  if constexpr (std::endian::native == std::endian::little) {
    return reinterpret_cast<const uint8_t*>(text.c_str());
  }
  copy->clear();
  for (size_t i = 0; i <= text.size(); ++i) {
    char16_t unit = text.c_str()[i];
    copy->push_back(static_cast<uint8_t>(unit & 0xFF));
    copy->push_back(static_cast<uint8_t>(unit >> 8));
  }
  return copy->data();
}

}  // namespace

std::optional<std::string> TextFileStore::TextPath(std::u16string_view owner) const {
  return kind_ == Kind::kPerson ? paths_.PersonTextPath(owner) : paths_.GroupTextPath(owner);
}

Status TextFileStore::AddOffMsgTxt(std::u16string_view owner, const std::u16string& text,
                                   OffMsgTextPos* pos) {
  std::optional<std::string> path = TextPath(owner);
  if (!path) return Status::Refused("owner name");

  // One fixed buffer: the block is at most kMaxBlockBytes, one byte less than the buffer.
  uint8_t block[kMaxBlockBytes + 1] = {};
  uint32_t blockLen = kMaxBlockBytes;
  constexpr size_t kMaxUnits = (std::numeric_limits<uint32_t>::max() - 2) / 2;
  std::vector<uint8_t> converted;
  if (text.size() > kMaxUnits ||
      xowzip::Compress(block, &blockLen, LittleEndianBytes(text, &converted),
                       static_cast<uint32_t>(2 * text.size() + 2)) != xowzip::kOk) {
    if (kind_ == Kind::kPerson) log_.Log(u"AddOffMsgTxt Compress faild,Owner=%s", owner);
    return Status::TooLarge("text block");
  }

  std::string_view data(reinterpret_cast<const char*>(block), blockLen);
  int64_t offset = 0;
  int error = fs_.Append(*path, data, &offset);
  if (error != 0) {
    // One more attempt, as a passing failure (a descriptor shortage, say) may be over.
    log_.Log(u"AddOffMsgTxt Writefile faild,Owner=%s,state=%d", owner, error);
    error = fs_.Append(*path, data, &offset);
    if (error != 0) {
      log_.Log(u"AddOffMsgTxt Writefile faild,Owner=%s,state=%d", owner, error);
      return Status::WriteFailed(error, *path);
    }
  }
  // Index entries hold 32-bit offsets; a block past that range could never be found again.
  if (offset > std::numeric_limits<int32_t>::max() - static_cast<int64_t>(blockLen)) {
    fs_.Truncate(*path, offset);
    log_.Log(u"AddOffMsgTxt Writefile faild,Owner=%s,state=%d", owner, EFBIG);
    return Status::WriteFailed(EFBIG, *path);
  }
  pos->Addr = static_cast<int32_t>(offset);
  pos->Len = static_cast<int32_t>(blockLen);
  return Status::Ok();
}

Status TextFileStore::ReadOffMsgTxt(std::u16string_view owner, int32_t addr, int32_t len,
                                    std::vector<uint8_t>* block) {
  std::optional<std::string> path = TextPath(owner);
  if (!path) return Status::Refused("owner name");
  if (len < 0 || len > kMaxReadBytes) return Status::Corrupt("block length " + std::to_string(len));
  std::vector<uint8_t> data(static_cast<size_t>(len), 0);
  // A negative address lies outside the file like one past its end: an all-zero block, which
  // the reader then fails to decompress. The file must still be readable.
  size_t want = addr < 0 ? 0 : data.size();
  size_t done = 0;
  if (int error = fs_.ReadAt(*path, addr < 0 ? 0 : addr, want, data.data(), &done); error != 0)
    return Status::FromReadError(error, *path);
  *block = std::move(data);
  return Status::Ok();
}

Status TextFileStore::DeleteTxtFile(std::u16string_view owner) {
  std::optional<std::string> path = TextPath(owner);
  if (!path) return Status::Refused("owner name");
  int error = fs_.Unlink(*path);
  if (error != 0 && error != ENOENT) error = fs_.Unlink(*path);  // a passing failure may be over
  return Status::FromRemoveError(error, *path);
}

int TextFileStore::AddCode(const Status& status) {
  if (status.ok()) return kOk;
  if (status.IsRefused()) return kBadOwner;
  if (status.IsTooLarge()) return kCompressFailed;
  return kWriteFailed;
}

int TextFileStore::ReadCode(const Status& status) {
  if (status.ok()) return kOk;
  return status.IsCorrupt() ? kBadLength : kCannotRead;
}

}  // namespace pigeonbox
