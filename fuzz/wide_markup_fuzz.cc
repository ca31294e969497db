// Fuzzes the UTF-16 document (the input read as little-endian units): parse, read every element,
// scripted edits, re-parse.
#include "fuzz/markup_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pigeonbox::fuzz::RunMarkupFuzz<pigeonbox::WideMarkupDocument>(data, size);
  return 0;
}
