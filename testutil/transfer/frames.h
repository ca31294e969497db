// Test helper shared by the transfer tests: a frame as clients send it.
#pragma once

#include <string>

namespace pigeonbox::testutil {

// A frame of `length` bytes: 0x02, the big-endian length, then `fill` bytes.
inline std::string Frame(int length, char fill = 'a') {
  std::string f(length, fill);
  f[0] = 0x02;
  f[1] = static_cast<char>(length >> 8);
  f[2] = static_cast<char>(length & 0xff);
  return f;
}

}  // namespace pigeonbox::testutil
