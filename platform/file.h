// Files at the system boundary. Paths are UTF-16 (see path.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/path.h"

namespace platform {

// A file opened read-only as raw bytes, read by absolute position.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ReadOnlyFile(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;

  bool Open(const NativePath& path);
  bool Open(const std::u16string& path) { return Open(ToNativePath(path)); }
  bool IsOpen() const;
  void Close();
  // Length of the file in bytes, or -1 when it cannot be told.
  int64_t Size() const;
  // Reads up to n bytes at offset; returns the count read (0 at or past the end,
  // or on an error). Never moves a shared file position.
  size_t ReadAt(int64_t offset, void* buffer, size_t n) const;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace platform
