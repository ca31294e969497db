#include "transfer/request_path.h"

#include "store/store_paths.h"

namespace pigeonbox {

std::u16string_view BaseNameOf(std::u16string_view name) {
  const size_t dot = name.rfind(u'.');
  return dot == std::u16string_view::npos ? name : name.substr(0, dot);
}

std::u16string MapRequestDirectory(std::u16string_view dir, std::u16string_view name) {
  std::u16string mapped(dir);
  const size_t group = mapped.rfind(u"_disgroup");
  if (group != std::u16string::npos) {
    mapped[group] = u'/';
    return mapped;
  }
  const std::u16string bucket = [&] {
    const std::string digits = std::to_string(NameHash(BaseNameOf(name)) % kBucketCount);
    return std::u16string(digits.begin(), digits.end());
  }();
  return mapped + u"/" + bucket;
}

namespace {

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

}  // namespace

std::optional<std::u16string> SafeRelativePath(std::u16string_view dir, std::u16string_view name) {
  if (name.empty() || name.front() == u'.') return std::nullopt;
  for (char16_t c : name) {
    if (c == 0 || IsSeparator(c)) return std::nullopt;
  }
  if (!dir.empty() && IsSeparator(dir.front())) return std::nullopt;
  if (dir.size() >= 2 && dir[1] == u':') return std::nullopt;
  std::u16string path;
  size_t start = 0;
  while (start <= dir.size()) {
    size_t end = start;
    while (end < dir.size() && !IsSeparator(dir[end])) ++end;
    const std::u16string_view part = dir.substr(start, end - start);
    if (!part.empty()) {
      if (part.front() == u'.' || part.find(u'\0') != std::u16string_view::npos) {
        return std::nullopt;
      }
      path.append(part).push_back(u'/');
    }
    start = end + 1;
  }
  return path + std::u16string(name);
}

}  // namespace pigeonbox
