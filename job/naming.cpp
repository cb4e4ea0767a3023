#include "job/naming.h"

#include <algorithm>
#include <map>
#include <set>

#include "job/summary.h"
#include "platform/fs.h"

namespace job {

std::u16string OutputFolderPattern(bool reduced) {
  return reduced ? u"extracted_jpegs_%W" : u"extracted_jpegs";
}

std::u16string OutputFileNamePattern(const settings::ExtractionSettings& settings, bool reduced) {
  if (!settings.addSuffix) return u"%N.jpg";
  return reduced ? u"%N_RLFT_%W.jpg" : u"%N_RLFT.jpg";
}

namespace {

bool EqualIgnoringAsciiCase(const std::u16string& a, size_t offset, const std::u16string& b) {
  if (a.size() < offset + b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i) {
    char16_t x = a[offset + i], y = b[i];
    if (x >= u'A' && x <= u'Z') x += u'a' - u'A';
    if (y >= u'A' && y <= u'Z') y += u'a' - u'A';
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool IsOutputFolderName(const std::u16string& name) {
  const std::u16string full = OutputFolderPattern(false);
  const std::u16string reduced = OutputFolderPattern(true);
  // The reduced folders' names up to the first placeholder: "extracted_jpegs_".
  const std::u16string prefix = reduced.substr(0, reduced.find(u'%'));
  if (name.size() == full.size()) return EqualIgnoringAsciiCase(name, 0, full);
  return name.size() > prefix.size() && EqualIgnoringAsciiCase(name, 0, prefix);
}

std::u16string ExpandFolderPattern(const std::u16string& pattern, int32_t width, int32_t height) {
  std::u16string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char16_t c = pattern[i];
    const char16_t next = i + 1 < pattern.size() ? pattern[i + 1] : u'\0';
    if (c == u'%' && next == u'W') {
      AppendInteger(out, width, 0);
    } else if (c == u'%' && next == u'H') {
      AppendInteger(out, height, 0);
    } else if (c == u'%' && next == u'%') {
      out += u'%';
    } else {
      out += c;  // a lone '%' or one before any other character stays as it is
      continue;
    }
    ++i;  // the placeholder's second character is consumed
  }
  return out;
}

std::u16string ExpandFileNamePattern(const std::u16string& pattern, const std::u16string& baseName,
                                     const std::u16string& extension, int32_t width,
                                     int32_t height) {
  std::u16string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char16_t c = pattern[i];
    const char16_t next = i + 1 < pattern.size() ? pattern[i + 1] : u'\0';
    if (c == u'%' && next == u'N') {
      out += baseName;
    } else if (c == u'%' && next == u'E') {
      out += extension;
    } else if (c == u'%' && next == u'W') {
      AppendInteger(out, width, 0);
    } else if (c == u'%' && next == u'H') {
      AppendInteger(out, height, 0);
    } else if (c == u'%' && next == u'%') {
      out += u"%%";  // kept as both characters in file names
    } else {
      out += c;
      continue;
    }
    ++i;
  }
  return out;
}

bool ParentFolderOf(const std::u16string& rawPath, std::u16string* parent, char16_t separator) {
  std::u16string path = rawPath;
  if (!path.empty() && path.back() == separator) path.pop_back();
  const size_t last = path.find_last_of(separator);
  if (last == std::u16string::npos) return false;
  *parent = path.substr(0, last + 1);
  return true;
}

void SplitFileName(const std::u16string& rawPath, std::u16string* baseName,
                   std::u16string* extension, char16_t separator) {
  const size_t last = rawPath.find_last_of(separator);
  const std::u16string name = last == std::u16string::npos ? rawPath : rawPath.substr(last + 1);
  // The first dot, not the last: "trip.day1.NEF" has the base name "trip".
  // Leading dots belong to the name: ".first.NEF" is ".first".
  const size_t nameStart = name.find_first_not_of(u'.');
  const size_t dot =
      nameStart == std::u16string::npos ? std::u16string::npos : name.find(u'.', nameStart);
  if (dot == std::u16string::npos) {
    *baseName = name;
    extension->clear();
  } else {
    *baseName = name.substr(0, dot);
    *extension = name.substr(dot + 1);
  }
}

namespace {

std::u16string FoldedAscii(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c += u'a' - u'A';
  }
  return text;
}

}  // namespace

std::vector<std::u16string> BaseNamesOfFolder(const std::vector<std::u16string>& names) {
  std::vector<std::u16string> stems(names.size()), rests(names.size());
  // The files of each stem, by folded stem.
  std::map<std::u16string, std::vector<size_t>> byStem;
  for (size_t i = 0; i < names.size(); ++i) {
    SplitFileName(names[i], &stems[i], &rests[i]);
    byStem[FoldedAscii(stems[i])].push_back(i);
  }
  std::vector<std::u16string> bases(names.size());
  std::set<std::u16string> taken;  // folded base names given out
  std::vector<size_t> derived;     // files that carry their remaining name
  for (auto& group : byStem) {
    std::vector<size_t>& members = group.second;
    // By remaining name in code-unit order (then by name, whatever order the
    // folder was listed in); the first keeps the stem, and so does the same
    // name given twice.
    std::sort(members.begin(), members.end(), [&](size_t a, size_t b) {
      return rests[a] != rests[b] ? rests[a] < rests[b] : names[a] < names[b];
    });
    for (const size_t i : members) {
      bases[i] = stems[i];
      if (names[i] == names[members.front()]) continue;
      std::u16string rest = rests[i];
      for (char16_t& c : rest) {
        if (c == u'.') c = u'_';
      }
      bases[i] += u'_';
      bases[i] += rest;
      derived.push_back(i);
    }
    taken.insert(group.first);
  }
  // A derived name can meet another file's stem (a.c.NEF gives a_c_NEF
  // beside a_c_NEF.NEF): it then takes the first free "_2", "_3"...
  std::sort(derived.begin(), derived.end(),
            [&](size_t a, size_t b) { return names[a] < names[b]; });
  std::map<std::u16string, std::u16string> baseOfName;
  for (const size_t i : derived) {
    const auto known = baseOfName.find(names[i]);
    if (known != baseOfName.end()) {
      bases[i] = known->second;  // the same file given twice
      continue;
    }
    std::u16string base = bases[i];
    for (int n = 2; !taken.insert(FoldedAscii(base)).second; ++n) {
      base = bases[i] + u'_';
      AppendInteger(base, n, 0);
    }
    bases[i] = base;
    baseOfName.emplace(names[i], base);
  }
  return bases;
}

std::u16string OutputFilePath(const std::u16string& folder, const std::u16string& fileName,
                              char16_t separator) {
  std::u16string path = folder;
  if (path.empty() || path.back() != separator) path += separator;
  return path + fileName;
}

bool EnsureOutputFolder(const std::u16string& parentFolder, const std::u16string& folderName,
                        std::u16string* outputFolder, char16_t separator, int* systemError) {
  const std::u16string folder = OutputFilePath(parentFolder, folderName, separator);
  // A second run (or another process) may create it between the test and the
  // creation; either way an existing folder is what is needed.
  int error = 0;
  if (platform::IsDirectory(folder) || platform::CreateFolder(folder, &error) ||
      platform::IsDirectory(folder)) {
    *outputFolder = folder;
    return true;
  }
  if (systemError) *systemError = error;
  return false;
}

bool EnsureFolderTree(const std::u16string& folder, int* systemError, char16_t separator) {
  // The missing levels, from the deepest up to the first that exists...
  std::vector<std::u16string> missing;
  std::u16string level = folder;
  while (level.size() > 1 && level.back() == separator) level.pop_back();
  while (!level.empty() && !platform::IsDirectory(level)) {
    missing.push_back(level);
    const size_t cut = level.find_last_of(separator);
    if (cut == std::u16string::npos || cut == 0) break;
    level.resize(cut);
  }
  // ...then created from the top down; one made meanwhile by another run
  // will do.
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    int error = 0;
    if (platform::CreateFolder(*it, &error) || platform::IsDirectory(*it)) continue;
    *systemError = error;
    return false;
  }
  return true;
}

bool OutputFileExists(const std::u16string& path) {
  return platform::CanOpenForReading(path);
}

}  // namespace job
