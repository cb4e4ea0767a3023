#include <windows.h>

#include "platform/file.h"

namespace platform {

ReadOnlyFile::~ReadOnlyFile() { Close(); }

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

bool ReadOnlyFile::Open(const NativePath& path) {
  Close();
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool ReadOnlyFile::IsOpen() const { return handle_ != nullptr; }

void ReadOnlyFile::Close() {
  if (handle_) ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

int64_t ReadOnlyFile::Size() const {
  LARGE_INTEGER size;
  if (!handle_ || !::GetFileSizeEx(static_cast<HANDLE>(handle_), &size)) return -1;
  return size.QuadPart;
}

size_t ReadOnlyFile::ReadAt(int64_t offset, void* buffer, size_t n) const {
  if (!handle_ || offset < 0) return 0;
  size_t done = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (done < n) {
    OVERLAPPED ov = {};
    const uint64_t at = static_cast<uint64_t>(offset) + done;
    ov.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    const size_t left = n - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!::ReadFile(static_cast<HANDLE>(handle_), out + done, chunk, &got, &ov) || got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace platform
