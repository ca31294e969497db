// Plain records that the store's parts hand to each other.
#pragma once

#include <cstdint>

namespace pigeonbox {

// Where one compressed message text lies in its owner's text file: the byte offset and the
// byte length of its block. The index entry of the message stores both.
struct OffMsgTextPos {
  int32_t Addr = 0;
  int32_t Len = 0;
};

}  // namespace pigeonbox
