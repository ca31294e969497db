#include "suite/crypt.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>

namespace pigeonbox::crypt {
namespace {

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

// Looked up once: with the predefined EVP_aes_128_gcm() every init fetches the implementation
// again, under a lock shared by all threads, which showed in the transfer service's profile.
const EVP_CIPHER* Aes128Gcm() {
  static EVP_CIPHER* const fetched = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
  return fetched != nullptr ? fetched : EVP_aes_128_gcm();
}

bool ValidArguments(const uint8_t* input, int inputLen, const uint8_t* key, const uint8_t* output,
                    const int* outputLen) {
  return outputLen != nullptr && key != nullptr && output != nullptr && inputLen >= 0 &&
         (input != nullptr || inputLen == 0);
}

bool Encrypt(const uint8_t* input, int inputLen, const uint8_t* key, uint8_t* output) {
  uint8_t* nonce = output;
  uint8_t* body = output + kNonceBytes;
  if (RAND_bytes(nonce, kNonceBytes) != 1) return false;
  Ctx ctx(EVP_CIPHER_CTX_new());
  int produced = 0;
  int tail = 0;
  return ctx && EVP_EncryptInit_ex(ctx.get(), Aes128Gcm(), nullptr, key, nonce) == 1 &&
         (inputLen == 0 ||
          EVP_EncryptUpdate(ctx.get(), body, &produced, input, inputLen) == 1) &&
         EVP_EncryptFinal_ex(ctx.get(), body + produced, &tail) == 1 &&
         produced + tail == inputLen &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, body + inputLen) == 1;
}

bool Decrypt(const uint8_t* input, int bodyLen, const uint8_t* key, uint8_t* output) {
  const uint8_t* nonce = input;
  const uint8_t* body = input + kNonceBytes;
  // OpenSSL takes the expected tag through a non-const pointer but only reads it.
  uint8_t tag[kTagBytes];
  std::memcpy(tag, body + bodyLen, kTagBytes);
  Ctx ctx(EVP_CIPHER_CTX_new());
  int produced = 0;
  int tail = 0;
  return ctx && EVP_DecryptInit_ex(ctx.get(), Aes128Gcm(), nullptr, key, nonce) == 1 &&
         (bodyLen == 0 || EVP_DecryptUpdate(ctx.get(), output, &produced, body, bodyLen) == 1) &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), output + produced, &tail) == 1 &&
         produced + tail == bodyLen;
}

}  // namespace

int SymEncrypt(const uint8_t* input, int inputLen, const uint8_t* key, uint8_t* output,
               int* outputLen) {
  if (!ValidArguments(input, inputLen, key, output, outputLen)) {
    if (outputLen != nullptr) *outputLen = 0;
    return 0;
  }
  const int capacity = *outputLen;
  *outputLen = 0;
  if (inputLen > capacity - kOverheadBytes) return 0;
  if (!Encrypt(input, inputLen, key, output)) return 0;
  *outputLen = inputLen + kOverheadBytes;
  return 1;
}

int SymDecrypt(const uint8_t* input, int inputLen, const uint8_t* key, uint8_t* output,
               int* outputLen) {
  if (!ValidArguments(input, inputLen, key, output, outputLen)) {
    if (outputLen != nullptr) *outputLen = 0;
    return 0;
  }
  const int capacity = *outputLen;
  *outputLen = 0;
  const int bodyLen = inputLen - kOverheadBytes;
  if (bodyLen < 0 || bodyLen > capacity) return 0;
  if (!Decrypt(input, bodyLen, key, output)) {
    // The bytes written before the tag check are unauthenticated; leave nothing of them behind.
    std::memset(output, 0, bodyLen);
    return 0;
  }
  *outputLen = bodyLen;
  return 1;
}

}  // namespace pigeonbox::crypt
