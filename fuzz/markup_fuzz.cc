// Fuzzes the byte document: parse, read every element, scripted edits, re-parse.
#include "fuzz/markup_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pigeonbox::fuzz::RunMarkupFuzz<pigeonbox::MarkupDocument>(data, size);
  return 0;
}
