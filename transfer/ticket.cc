#include "transfer/ticket.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "suite/crypt.h"

namespace pigeonbox {
namespace {

void PutBigEndian(uint32_t value, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t BigEndianAt(const uint8_t* in) {
  return uint32_t{in[0]} << 24 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 8 | in[3];
}

std::vector<uint8_t> Seal(const uint8_t* plain, int length, const TransferKey& key) {
  std::vector<uint8_t> sealed(length + crypt::kOverheadBytes);
  int sealedLength = static_cast<int>(sealed.size());
  if (crypt::SymEncrypt(plain, length, key.data(), sealed.data(), &sealedLength) == 0) return {};
  sealed.resize(sealedLength);
  return sealed;
}

// 15 decimal digits; bytes of 250 and more are drawn again, so every digit is equally likely.
bool RandomDigits(uint8_t* out, int count) {
  int made = 0;
  while (made < count) {
    uint8_t pool[32];
    if (!FillRandom(pool, sizeof pool)) return false;
    for (uint8_t byte : pool) {
      if (byte < 250 && made < count) out[made++] = static_cast<uint8_t>('0' + byte % 10);
    }
  }
  return true;
}

}  // namespace

std::vector<uint8_t> SealTicket(const Ticket& ticket, const TransferKey& serviceKey) {
  uint8_t plain[kTicketBytes];
  PutBigEndian(ticket.ticketId, plain);
  PutBigEndian(ticket.userId, plain + 4);
  PutBigEndian(ticket.lifetime, plain + 8);
  PutBigEndian(ticket.issued, plain + 12);
  std::memcpy(plain + 16, ticket.sessionKey.data(), ticket.sessionKey.size());
  return Seal(plain, kTicketBytes, serviceKey);
}

bool OpenTicket(const uint8_t* sealed, int length, const TransferKey& serviceKey, Ticket* out) {
  // The all-zero key stands for a key file that could not be read: anyone could seal with it.
  if (serviceKey == TransferKey{}) return false;
  uint8_t plain[kTicketRoom];
  int plainLength = kTicketRoom;
  if (crypt::SymDecrypt(sealed, length, serviceKey.data(), plain, &plainLength) == 0 ||
      plainLength != kTicketBytes) {
    return false;
  }
  out->ticketId = BigEndianAt(plain);
  out->userId = BigEndianAt(plain + 4);
  out->lifetime = BigEndianAt(plain + 8);
  out->issued = BigEndianAt(plain + 12);
  std::memcpy(out->sessionKey.data(), plain + 16, out->sessionKey.size());
  return true;
}

bool TicketExpired(const Ticket& ticket, int64_t now) {
  return ticket.issued != 0 && now - int64_t{ticket.issued} >= int64_t{ticket.lifetime};
}

std::vector<uint8_t> MakeAuthenticator(const TransferKey& ticketKey, uint32_t ticketId,
                                       uint32_t userId, uint32_t stamp) {
  uint8_t plain[12];
  PutBigEndian(ticketId, plain);
  PutBigEndian(userId, plain + 4);
  PutBigEndian(stamp, plain + 8);
  return Seal(plain, sizeof plain, ticketKey);
}

bool FillRandom(uint8_t* out, size_t count) {
  while (count > 0) {
    const ssize_t n = getrandom(out, count, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

TransferKey NewSessionKey() {
  TransferKey key{};
  if (!FillRandom(key.data(), key.size() - 1)) key.fill(0);
  key.back() = 0;
  return key;
}

std::string ServiceKeyPath(const std::string& installRoot) {
  return installRoot + "kvtserver.kss";
}

TransferKey LoadServiceKey(const std::string& installRoot) {
  TransferKey key{};
  constexpr int kDigits = 15;
  const int fd = open(ServiceKeyPath(installRoot).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return key;
  // The key is a secret shared with the ticket issuer only: a file readable by others is closed.
  struct stat info {};
  if (fstat(fd, &info) == 0 && (info.st_mode & 077) != 0) fchmod(fd, info.st_mode & 0700);
  ssize_t got = 0;
  bool readFailed = false;
  while (got < kDigits) {
    const ssize_t n = pread(fd, key.data() + got, kDigits - got, got);
    if (n < 0 && errno == EINTR) continue;
    readFailed = n < 0;
    if (n <= 0) break;
    got += n;
  }
  if (readFailed) {
    key.fill(0);
  } else if (key[0] == 0) {
    if (!RandomDigits(key.data(), kDigits) || pwrite(fd, key.data(), kDigits, 0) != kDigits) {
      key.fill(0);
    }
  }
  close(fd);
  key.back() = 0;
  return key;
}

std::string ToHex(const uint8_t* bytes, size_t count) {
  static constexpr char kDigitChars[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    hex += kDigitChars[bytes[i] >> 4];
    hex += kDigitChars[bytes[i] & 15];
  }
  return hex;
}

bool FromHex(const std::string& hex, std::vector<uint8_t>* out) {
  if (hex.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = nibble(hex[i]);
    const int low = nibble(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

}  // namespace pigeonbox
