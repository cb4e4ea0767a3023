// Scratch folders and files for the job's tests (and its benchmark).
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/extract.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace job_test {

using Bytes = std::vector<uint8_t>;

// A folder below the current one, emptied when created and removed with
// everything below it when the object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& name)
      : root_(platform::AbsolutePath(platform::Utf8ToUtf16(name))) {
    RemoveTree(root_);
    platform::CreateFolder(root_);
  }
  ~ScratchFolder() { RemoveTree(root_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::u16string& root() const { return root_; }
  // root + separator + each part, joined with the separator.
  std::u16string Path(std::initializer_list<std::u16string> parts) const {
    std::u16string path = root_;
    for (const std::u16string& part : parts) path += platform::kPathSeparator + part;
    return path;
  }

  static bool Write(const std::u16string& path, const Bytes& bytes) {
    platform::RemoveFile(path);
    platform::NewFile file;
    return file.Create(path) && file.Write(bytes.data(), bytes.size()) && file.Close();
  }
  static bool Read(const std::u16string& path, Bytes* bytes) {
    platform::ReadOnlyFile file;
    if (!file.Open(path)) return false;
    bytes->assign(static_cast<size_t>(file.Size()), 0);
    return file.ReadAt(0, bytes->data(), bytes->size()) == bytes->size();
  }
  // Names in a folder, sorted; empty when it does not exist.
  static std::vector<std::u16string> Names(const std::u16string& folder) {
    std::vector<platform::FolderEntry> entries;
    platform::ListFolder(folder, &entries);
    std::vector<std::u16string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  static void RemoveTree(const std::u16string& path) {
    std::vector<platform::FolderEntry> entries;
    if (!platform::ListFolder(path, &entries)) {
      platform::RemoveFile(path);
      return;
    }
    for (const auto& e : entries) {
      const std::u16string child = path + platform::kPathSeparator + e.name;
      // A link goes, never what it leads to.
      if (e.isDirectory && !e.isLink) {
        RemoveTree(child);
      } else {
        platform::RemoveFile(child);
      }
    }
    platform::RemoveFolder(path);
  }

 private:
  std::u16string root_;
};

// An engine result holding a copy of the bytes as its preview.
inline engine::ExtractedPreview PreviewOf(const Bytes& bytes) {
  engine::ExtractedPreview preview;
  preview.bytes.reset(static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size())));
  if (!bytes.empty()) std::memcpy(preview.bytes.get(), bytes.data(), bytes.size());
  preview.length = bytes.size();
  return preview;
}

}  // namespace job_test
