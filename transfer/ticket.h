// Tickets, authenticators and keys of the file-transfer service.
//
// A ticket is what the suite's issuer gives a client for this server: 32 bytes (ticket id, user
// id, lifetime in seconds, issue time in seconds since 1970 with 0 for "never expires", all
// big-endian, then a 16-byte ticket session key) encrypted with the service key, which the
// server and the issuer read from the same key file "kvtserver.kss" of the install root. The
// client proves it holds the ticket session key with an authenticator: the ticket id and the
// user id (and a time stamp) encrypted with that key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/transfer_frame.h"

namespace pigeonbox {

struct Ticket {
  uint32_t ticketId = 0;
  uint32_t userId = 0;
  uint32_t lifetime = 0;  // seconds
  uint32_t issued = 0;    // seconds since 1970; 0: never expires
  TransferKey sessionKey{};
};

inline constexpr int kTicketBytes = 32;
// The room for a decrypted ticket and authenticator.
inline constexpr int kTicketRoom = 256;
inline constexpr int kAuthenticatorRoom = 16;

// The encrypted ticket; empty when the encryption fails.
std::vector<uint8_t> SealTicket(const Ticket& ticket, const TransferKey& serviceKey);
// The ticket inside `sealed`; false unless it decrypts under `serviceKey` to exactly 32 bytes,
// and always false under the all-zero key (the key of an unreadable key file).
bool OpenTicket(const uint8_t* sealed, int length, const TransferKey& serviceKey, Ticket* out);
// Expired when it has an issue time and `now` is at least `lifetime` seconds past it.
bool TicketExpired(const Ticket& ticket, int64_t now);

// Ticket id, user id and `stamp` encrypted with the ticket session key.
std::vector<uint8_t> MakeAuthenticator(const TransferKey& ticketKey, uint32_t ticketId,
                                       uint32_t userId, uint32_t stamp);

// Fills `out` from the kernel's CSPRNG; false only when the kernel refuses.
bool FillRandom(uint8_t* out, size_t count);
// A fresh session key: 15 random bytes and a zero byte, the form the suite's clients expect.
// The all-zero key when the kernel refuses random bytes; callers must not use that one.
TransferKey NewSessionKey();

// The service key file of an install root: installRoot + "kvtserver.kss".
std::string ServiceKeyPath(const std::string& installRoot);
// Loads the service key: the first 15 bytes of the key file and a zero byte. A missing or empty
// file is created readable and writable by its owner only and gets 15 random decimal digits. A
// file that cannot be opened gives the all-zero key.
TransferKey LoadServiceKey(const std::string& installRoot);

// Lower-case hex of `bytes`, and back (false on an odd length or a non-hex character).
std::string ToHex(const uint8_t* bytes, size_t count);
bool FromHex(const std::string& hex, std::vector<uint8_t>* out);

}  // namespace pigeonbox
