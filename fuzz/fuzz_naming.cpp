// Name-pattern expansion and file-name splitting over arbitrary UTF-16 text,
// and the base names of a folder's RAW files: never two alike for two
// different names (ASCII case ignored), whatever the names.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "job/naming.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  int32_t width, height;
  std::memcpy(&width, data, 4);
  std::memcpy(&height, data + 4, 4);
  data += 8;
  size -= 8;
  // Three texts separated at the first two zero code units.
  std::u16string parts[3];
  int part = 0;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0 && part < 2) {
      ++part;
      continue;
    }
    parts[part] += c;
  }
  (void)job::ExpandFolderPattern(parts[0], width, height);
  (void)job::ExpandFileNamePattern(parts[0], parts[1], parts[2], width, height);
  std::u16string base, extension, parent;
  job::SplitFileName(parts[1], &base, &extension, u'/');
  job::SplitFileName(parts[1], &base, &extension, u'\\');
  job::ParentFolderOf(parts[1], &parent, u'/');
  (void)job::OutputFilePath(parts[2], parts[0], u'\\');

  // The three texts, split again at every '|', as the names of one folder.
  std::vector<std::u16string> names(1);
  for (const std::u16string& text : parts) {
    for (const char16_t c : text) {
      if (c == u'|') {
        names.emplace_back();
      } else {
        names.back() += c;
      }
    }
    names.emplace_back();
  }
  const std::vector<std::u16string> bases = job::BaseNamesOfFolder(names);
  if (bases.size() != names.size()) std::abort();
  std::set<std::u16string> folded;
  for (size_t i = 0; i < names.size(); ++i) {
    bool repeated = false;
    for (size_t j = 0; j < i; ++j) repeated = repeated || names[j] == names[i];
    if (repeated) continue;
    std::u16string key = bases[i];
    for (char16_t& c : key) {
      if (c >= u'A' && c <= u'Z') c += u'a' - u'A';
    }
    if (!folded.insert(key).second) std::abort();  // two files, one output
  }
  return 0;
}
