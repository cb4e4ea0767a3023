// The bytes of one camera file, and a buffered stream over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/limits.h"
#include "platform/file.h"

namespace engine {

// Where the bytes come from: a file, or memory (tests and fuzzing).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int64_t Size() const = 0;
  // Up to n bytes at offset; the count read (0 past the end).
  virtual size_t ReadAt(int64_t offset, void* buffer, size_t n) const = 0;
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit MemorySource(const std::vector<uint8_t>& bytes)
      : data_(bytes.data()), size_(bytes.size()) {}
  int64_t Size() const override { return static_cast<int64_t>(size_); }
  size_t ReadAt(int64_t offset, void* buffer, size_t n) const override;

 private:
  const uint8_t* data_;
  size_t size_;
};

class FileSource final : public ByteSource {
 public:
  // Opens read-only; IsOpen() tells whether it worked.
  explicit FileSource(const platform::NativePath& path) { file_.Open(path); }
  bool IsOpen() const { return file_.IsOpen(); }
  int64_t Size() const override { return file_.Size(); }
  size_t ReadAt(int64_t offset, void* buffer, size_t n) const override {
    return file_.ReadAt(offset, buffer, n);
  }

 private:
  platform::ReadOnlyFile file_;
};

// A positioned stream over a ByteSource with the semantics the parsers rely
// on: absolute and relative seeks are never validated (a position outside the
// file simply reads nothing), reads return the count actually read, and get()
// returns -1 at the end. Small reads are served from a window buffer so that
// metadata parsing costs a handful of system reads per file; large reads go
// straight to the source.
class InputStream {
 public:
  InputStream() = default;
  explicit InputStream(const ByteSource* source) { Attach(source); }

  void Attach(const ByteSource* source);
  const ByteSource* Source() const { return source_; }
  bool IsOpen() const { return source_ != nullptr; }

  void Seek(int64_t position) { position_ = position; }
  void SeekRelative(int64_t delta) { position_ += delta; }
  int64_t Tell() const { return position_; }
  // Length of the source as measured when attached.
  int64_t Size() const { return size_; }
  // True when the position is at or past the end of the data.
  bool AtEnd() const { return position_ >= size_; }

  int Get();
  size_t Read(void* buffer, size_t n);
  // Whether the window holds the `n` bytes at `offset`.
  bool WindowHolds(int64_t offset, size_t n) const {
    return offset >= window_start_ &&
           static_cast<uint64_t>(offset - window_start_) + n <= window_length_;
  }
  // Up to `n` bytes at `offset`, from the window when it holds them all,
  // else read for this call alone: the window and the position stay as
  // they were. For a look at a few bytes away from where the walk reads.
  size_t PeekAt(int64_t offset, void* buffer, size_t n) const;

 private:
  bool FillWindow(int64_t position);

  const ByteSource* source_ = nullptr;
  int64_t size_ = 0;
  int64_t position_ = 0;
  std::vector<uint8_t> window_;
  int64_t window_start_ = 0;
  size_t window_length_ = 0;
};

}  // namespace engine
