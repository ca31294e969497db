// Base64 (standard alphabet, "=" padding) in the line layout that envelope "Buffer" values use:
// the text begins with "\r\n", and "\r\n" follows every 64 output characters and the final
// group when it was padded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pigeonbox {

std::string Base64Encode(const void* data, size_t size);
std::u16string Base64EncodeWide(const void* data, size_t size);

// Decodes Base64 text, skipping white space (so the line layout above reads back). False on
// any other character outside the alphabet or on a bad padding.
bool Base64Decode(std::string_view text, std::string* out);
bool Base64Decode(std::u16string_view text, std::string* out);

}  // namespace pigeonbox
