#include "store/store_paths.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <vector>

#include "base/text.h"

namespace pigeonbox {
namespace {

constexpr std::string_view kStoreRoot = "OffMsg/";
constexpr std::string_view kIndexDir = "OffMsgIndex/";
constexpr std::string_view kTextDir = "OffMsgFile/";
constexpr std::string_view kGroupDir = "DisGroup/";

bool IsSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}
bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// An owner name of ASCII characters only has the same bytes in the code page and in UTF-8.
enum class AsciiName { kOther, kSafe, kUnsafe };

char16_t AsciiLower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// Whether any of the four UTF-16 units in `word` is 0.
bool HasZeroUnit(uint64_t word) {
  constexpr uint64_t kOnes = 0x0001000100010001;
  constexpr uint64_t kHigh = 0x8000800080008000;
  return ((word - kOnes) & ~word & kHigh) != 0;
}

// Whether the name holds only ASCII characters, and then whether IsSafeStoreFileName takes it.
// Four units a step.
AsciiName ScanAsciiName(std::u16string_view name) {
  constexpr uint64_t kOnes = 0x0001000100010001;
  uint64_t any = 0;
  bool separator = false;
  size_t i = 0;
  for (; i + 4 <= name.size(); i += 4) {
    uint64_t word;
    std::memcpy(&word, name.data() + i, sizeof word);
    any |= word;
    separator = separator || HasZeroUnit(word) || HasZeroUnit(word ^ (kOnes * u'/')) ||
                HasZeroUnit(word ^ (kOnes * u'\\'));
  }
  for (; i < name.size(); ++i) {
    const char16_t c = name[i];
    any |= c;
    separator = separator || c == u'/' || c == u'\\' || c == 0;
  }
  if ((any & (kOnes * 0xFF80)) != 0) return AsciiName::kOther;
  const bool dots = name == std::u16string_view(u".") || name == std::u16string_view(u"..");
  return separator || dots ? AsciiName::kUnsafe : AsciiName::kSafe;
}

// NameHash of an ASCII name lower-cased.
int32_t LowerAsciiHash(std::u16string_view name) {
  uint32_t h = 0;
  for (char16_t c : name) h = h * 131u + AsciiLower(c);
  return static_cast<int32_t>(h & 0x7FFFFFFFu);
}

bool IsAscii(std::u16string_view name) {
  for (char16_t c : name) {
    if (c >= 0x80) return false;
  }
  return true;
}

// The hash of code page bytes, or of ASCII characters (the same bytes).
template <typename Char>
int32_t HashOfBytes(std::basic_string_view<Char> bytes) {
  uint32_t h = 0;
  for (Char byte : bytes) {
    if (byte == 0) break;
    h = h * 131u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(byte)));
  }
  return static_cast<int32_t>(h & 0x7FFFFFFFu);
}

// dir + [bucket "/"] + name + extension, in one allocation (a bucket < 0 stands for none);
// writeName(out) writes the name's `nameSize` bytes.
template <typename WriteName>
std::string JoinPath(const std::string& dir, int bucket, size_t nameSize,
                     std::string_view extension, WriteName writeName) {
  char bucketText[16];
  char* bucketEnd = bucketText;
  if (bucket >= 0) {
    bucketEnd = std::to_chars(bucketText, std::end(bucketText), bucket).ptr;
    *bucketEnd++ = '/';
  }
  std::string path(
      dir.size() + static_cast<size_t>(bucketEnd - bucketText) + nameSize + extension.size(), '\0');
  char* out = std::copy(dir.begin(), dir.end(), path.data());
  out = std::copy(bucketText, bucketEnd, out);
  writeName(out);
  std::copy(extension.begin(), extension.end(), out + nameSize);
  return path;
}

// The path of a name with other characters than ASCII: its UTF-8 form.
std::string JoinPath(const std::string& dir, int bucket, std::u16string_view name,
                     std::string_view extension) {
  const std::string utf8 = ToUtf8(name);
  return JoinPath(dir, bucket, utf8.size(), extension,
                  [&](char* out) { std::copy(utf8.begin(), utf8.end(), out); });
}

// The path of an ASCII name, lower-cased when asked.
std::string JoinAsciiPath(const std::string& dir, int bucket, std::u16string_view name,
                          std::string_view extension, bool lower) {
  return JoinPath(dir, bucket, name.size(), extension, [&](char* out) {
    for (char16_t c : name) *out++ = static_cast<char>(lower ? AsciiLower(c) : c);
  });
}

// An empty root stays empty: paths are then relative to the working directory.
std::string WithSlash(std::string root) {
  if (!root.empty() && root.back() != '/') root += '/';
  return root;
}

}  // namespace

int32_t NameHash(std::u16string_view name) {
  return IsAscii(name) ? HashOfBytes(name) : HashOfBytes(std::string_view(ToAnsi(name)));
}

int32_t LowerNameHash(std::u16string_view name) {
  // An ASCII name without NUL, the usual one, is hashed as it is lower-cased, without a copy.
  for (char16_t c : name) {
    if (c >= 0x80 || c == 0) return NameHash(ToLower(name));
  }
  return LowerAsciiHash(name);
}

int BucketOf(std::u16string_view owner) {
  return LowerNameHash(owner) % kBucketCount;
}

bool IsStorableOwnerName(std::u16string_view owner) {
  return IsSafeStoreFileName(owner) && (owner.empty() || owner[0] != u'.');
}

bool IsSafeStoreFileName(std::u16string_view name) {
  // Names of ASCII characters, the usual ones, are judged four units a step.
  if (AsciiName ascii = ScanAsciiName(name); ascii != AsciiName::kOther) {
    return ascii == AsciiName::kSafe;
  }
  if (name == u"." || name == u"..") return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c == u'/' || c == u'\\' || c == u'\0') return false;
    if (!IsSurrogate(c)) continue;
    if (!IsHighSurrogate(c) || i + 1 == name.size() || !IsLowSurrogate(name[i + 1])) {
      return false;
    }
    ++i;  // a complete pair
  }
  return true;
}

StorePaths::StorePaths(std::string root, FileSystem& fs, bool createDirs)
    : fs_(fs),
      root_(WithSlash(std::move(root))),
      person_index_dir_(root_ + std::string(kStoreRoot) + std::string(kIndexDir)),
      person_text_dir_(root_ + std::string(kStoreRoot) + std::string(kTextDir)),
      group_index_dir_(person_index_dir_ + std::string(kGroupDir)),
      group_text_dir_(person_text_dir_ + std::string(kGroupDir)) {
  if (!createDirs) return;
  // Parents first; an existing directory is fine.
  fs_.MakeDir(root_ + std::string(kStoreRoot));
  for (const std::string* dir :
       {&person_index_dir_, &person_text_dir_, &group_index_dir_, &group_text_dir_}) {
    fs_.MakeDir(*dir);
  }
  MakeBuckets(person_index_dir_);
  MakeBuckets(person_text_dir_);
}

// Every person file lies in a bucket; without its bucket an owner could store nothing.
void StorePaths::MakeBuckets(const std::string& dir) {
  for (int bucket = 0; bucket < kBucketCount; ++bucket) {
    fs_.MakeDir(dir + std::to_string(bucket));
  }
}

// Every read and write computes its paths; ASCII names, the usual ones, take a short way:
// short passes to check the name, hash it, and write it into the path.
std::optional<std::string> StorePaths::PersonPath(const std::string& dir, std::u16string_view owner,
                                                  std::string_view extension) {
  if (AsciiName ascii = ScanAsciiName(owner); ascii != AsciiName::kOther) {
    if (ascii == AsciiName::kUnsafe) return std::nullopt;
    return JoinAsciiPath(dir, LowerAsciiHash(owner) % kBucketCount, owner, extension, true);
  }
  std::u16string lower = ToLower(owner);
  if (!IsSafeStoreFileName(lower)) return std::nullopt;
  return JoinPath(dir, NameHash(lower) % kBucketCount, lower, extension);
}

std::optional<std::string> StorePaths::GroupPath(const std::string& dir, std::u16string_view owner,
                                                 std::string_view extension) {
  if (AsciiName ascii = ScanAsciiName(owner); ascii != AsciiName::kOther) {
    if (ascii == AsciiName::kUnsafe) return std::nullopt;
    return JoinAsciiPath(dir, -1, owner, extension, false);
  }
  if (!IsSafeStoreFileName(owner)) return std::nullopt;
  return JoinPath(dir, -1, owner, extension);
}

std::optional<std::string> StorePaths::PersonIndexPath(std::u16string_view owner) const {
  return PersonPath(person_index_dir_, owner, ".xml");
}

std::optional<std::string> StorePaths::PersonTextPath(std::u16string_view owner) const {
  return PersonPath(person_text_dir_, owner, ".txt");
}

std::optional<std::string> StorePaths::GroupIndexPath(std::u16string_view owner) const {
  return GroupPath(group_index_dir_, owner, ".xml");
}

std::optional<std::string> StorePaths::GroupTextPath(std::u16string_view owner) const {
  return GroupPath(group_text_dir_, owner, ".txt");
}

int StorePaths::MigrateStoreDirs() {
  return MigrateDir(person_index_dir_) + MigrateDir(person_text_dir_);
}

int StorePaths::MigrateDir(const std::string& dir) {
  MakeBuckets(dir);
  std::vector<DirEntry> entries;
  if (fs_.ListDir(dir, &entries) != 0) return 0;
  int moved = 0;
  for (const DirEntry& entry : entries) {
    // Buckets, DisGroup and other directories stay, and so do dot files (scratch files).
    if (entry.type != DirEntry::Type::kFile || entry.name.empty() || entry.name[0] == '.') {
      continue;
    }
    std::u16string name = FromUtf8(entry.name);
    if (ToUtf8(name) != entry.name) continue;  // not UTF-8: no owner name leads to it
    std::u16string lower = ToLower(name);
    size_t dot = lower.rfind(u'.');
    std::u16string_view title = std::u16string_view(lower).substr(0, dot);
    std::string target = dir + std::to_string(NameHash(title) % kBucketCount) + "/" + ToUtf8(lower);
    if (fs_.RenameNoReplace(dir + entry.name, target) == 0) ++moved;
  }
  return moved;
}

}  // namespace pigeonbox
