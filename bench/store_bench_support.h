// Helpers shared by the store benchmarks: the work directory, settling written pages, the text
// handlers' decompression, and a few figures of the machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox::bench {

// The decompression buffer of the text handlers.
inline constexpr uint32_t kPartBufferBytes = 3600;

// `given` (created when missing), or else a new directory "<prefix>.XXXXXX" below $TMPDIR or
// /tmp; empty when it could not be made.
std::string MakeWorkDir(const std::string& given, const char* prefix);

// Bytes of the regular files below `dir`.
uint64_t DirectoryBytes(const std::filesystem::path& dir);

// Flushes dirty pages of earlier work, so that its write-back is not charged to the next
// workload.
void Settle();

// UTF-16LE bytes of a text with its terminating zero unit (this machine is little-endian).
std::string_view StoredBytes(const std::u16string& text);

// Decompresses a block as the text handlers do: into a zeroed 3600-byte buffer. Empty on
// success, else what went wrong.
std::string Decompress(const std::vector<uint8_t>& block, uint8_t (&part)[kPartBufferBytes],
                       uint32_t* length);

// The three load averages of /proc/loadavg.
std::string LoadAverage();

}  // namespace pigeonbox::bench
