#include "suite/crypt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pigeonbox::crypt {
namespace {

const uint8_t kKey[kKeyBytes] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                 '9', '0', '1', '2', '3', '4', '5', 0};

std::vector<uint8_t> Encrypted(const std::string& plain, const uint8_t* key = kKey) {
  std::vector<uint8_t> out(4082);
  int len = static_cast<int>(out.size());
  EXPECT_EQ(1, SymEncrypt(reinterpret_cast<const uint8_t*>(plain.data()),
                          static_cast<int>(plain.size()), key, out.data(), &len));
  out.resize(len);
  return out;
}

// The plain text, or "<failed>" after checking that a failure produced nothing.
std::string Decrypted(const std::vector<uint8_t>& cipher, int capacity = 4082,
                      const uint8_t* key = kKey) {
  std::vector<uint8_t> out(capacity + 8, 0xAB);
  int len = capacity;
  if (SymDecrypt(cipher.data(), static_cast<int>(cipher.size()), key, out.data(), &len) == 0) {
    EXPECT_EQ(0, len);
    for (int i = capacity; i < capacity + 8; ++i) EXPECT_EQ(0xAB, out[i]) << "wrote past capacity";
    return "<failed>";
  }
  return std::string(out.begin(), out.begin() + len);
}

TEST(CryptTest, RoundTripsAndAddsNonceAndTag) {
  for (const std::string& plain : {std::string(), std::string("x"), std::string(4054, 'q')}) {
    std::vector<uint8_t> cipher = Encrypted(plain);
    EXPECT_EQ(plain.size() + kOverheadBytes, cipher.size());
    EXPECT_EQ(plain, Decrypted(cipher));
  }
  // A fresh nonce each time: the same plain text never gives the same cipher text.
  EXPECT_NE(Encrypted("same text"), Encrypted("same text"));
}

TEST(CryptTest, RefusesTamperedOrForeignCipherText) {
  const std::vector<uint8_t> cipher = Encrypted("ticket body of 32 bytes........");
  for (size_t i = 0; i < cipher.size(); ++i) {
    std::vector<uint8_t> bad = cipher;
    bad[i] ^= 0x01;
    EXPECT_EQ("<failed>", Decrypted(bad)) << "byte " << i;
  }
  uint8_t otherKey[kKeyBytes] = {};
  EXPECT_EQ("<failed>", Decrypted(cipher, 4082, otherKey));
  EXPECT_EQ("<failed>", Decrypted(std::vector<uint8_t>(cipher.begin(), cipher.end() - 1)));
  EXPECT_EQ("<failed>", Decrypted(std::vector<uint8_t>(kOverheadBytes - 1, 0)));
}

TEST(CryptTest, TooSmallCapacityFailsWithoutWritingPastIt) {
  const std::string plain(100, 'p');
  std::vector<uint8_t> out(200, 0xCD);
  int len = 100 + kOverheadBytes - 1;
  EXPECT_EQ(0, SymEncrypt(reinterpret_cast<const uint8_t*>(plain.data()), 100, kKey, out.data(),
                          &len));
  EXPECT_EQ(0, len);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(0xCD, out[i]);

  const std::vector<uint8_t> cipher = Encrypted(plain);
  EXPECT_EQ("<failed>", Decrypted(cipher, 99));
  EXPECT_EQ(plain, Decrypted(cipher, 100));
}

}  // namespace
}  // namespace pigeonbox::crypt
