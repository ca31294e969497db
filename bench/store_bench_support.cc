#include "bench/store_bench_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "suite/xow_zip.h"

namespace pigeonbox::bench {

std::string MakeWorkDir(const std::string& given, const char* prefix) {
  if (!given.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(given, ec);
    return ec ? std::string() : given;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

uint64_t DirectoryBytes(const std::filesystem::path& dir) {
  uint64_t bytes = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) bytes += it->file_size(ec);
  }
  return bytes;
}

void Settle() {
  ::sync();
}

std::string_view StoredBytes(const std::u16string& text) {
  return {reinterpret_cast<const char*>(text.c_str()), 2 * text.size() + 2};
}

std::string Decompress(const std::vector<uint8_t>& block, uint8_t (&part)[kPartBufferBytes],
                       uint32_t* length) {
  std::memset(part, 0, sizeof part);
  *length = kPartBufferBytes;
  int rc = xowzip::UnCompress(part, length, block.data(), static_cast<uint32_t>(block.size()));
  if (rc != xowzip::kOk) return "UnCompress " + std::to_string(rc);
  if (*length == 0 || *length >= kPartBufferBytes) return "decompressed length out of range";
  return {};
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace pigeonbox::bench
