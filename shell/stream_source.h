// The bytes of a file the shell hands over as an IStream (a thumbnail or
// preview handler initialised with IInitializeWithStream), as the engine's
// ByteSource.
#pragma once

// clang-format off
#include <windows.h>
#include <objidl.h>
// clang-format on

#include <cstdint>

#include "engine/input.h"

namespace shell {

// Reads by seeking and reading the stream; one source serves one thread at a
// time (each handler object has its own stream). Holds a reference to the
// stream while it lives.
class StreamSource final : public engine::ByteSource {
 public:
  explicit StreamSource(IStream* stream);
  ~StreamSource() override;
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

  int64_t Size() const override { return size_; }
  size_t ReadAt(int64_t offset, void* buffer, size_t n) const override;

  // S_OK, or the first failure of the stream (measuring its size, seeking or
  // reading): after one, the bytes the engine saw are not the file's.
  HRESULT error() const { return error_; }

 private:
  IStream* stream_;
  int64_t size_ = 0;
  mutable HRESULT error_ = S_OK;
};

}  // namespace shell
