// The suite's cipher library (Crypt): authenticated symmetric encryption with a 16-byte key.
//
// AES-128-GCM. A cipher text is a 12-byte random nonce, the encrypted bytes (as many as the plain
// text) and a 16-byte tag, so it is always 28 bytes longer than its plain text. Decryption
// succeeds only when the tag verifies under the key, so a tampered or foreign cipher text is
// refused as a whole.
//
// On entry *outputLen holds the capacity of `output` in bytes; on return the number of bytes
// produced (0 after a failure). Nothing is ever written past the capacity. The result is 1 for
// success and 0 for failure. Thread-safe.
#pragma once

#include <cstdint>

namespace pigeonbox::crypt {

inline constexpr int kKeyBytes = 16;
inline constexpr int kNonceBytes = 12;
inline constexpr int kTagBytes = 16;
inline constexpr int kOverheadBytes = kNonceBytes + kTagBytes;

int SymEncrypt(const uint8_t* input, int inputLen, const uint8_t* key, uint8_t* output,
               int* outputLen);
int SymDecrypt(const uint8_t* input, int inputLen, const uint8_t* key, uint8_t* output,
               int* outputLen);

}  // namespace pigeonbox::crypt
