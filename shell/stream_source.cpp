#include "shell/stream_source.h"

#include <limits>

namespace shell {
namespace {

// One IStream::Read asks for at most this much (its count is a ULONG).
constexpr ULONG kMaxReadChunk = 1u << 30;

}  // namespace

StreamSource::StreamSource(IStream* stream) : stream_(stream) {
  if (stream_ == nullptr) {
    error_ = E_POINTER;
    return;
  }
  stream_->AddRef();
  STATSTG stat = {};
  HRESULT result = stream_->Stat(&stat, STATFLAG_NONAME);
  if (SUCCEEDED(result)) {
    size_ = stat.cbSize.QuadPart > static_cast<ULONGLONG>(std::numeric_limits<int64_t>::max())
                ? 0
                : static_cast<int64_t>(stat.cbSize.QuadPart);
    return;
  }
  // Some streams answer Stat with E_NOTIMPL: the end's position is the size.
  LARGE_INTEGER zero = {};
  ULARGE_INTEGER end = {};
  result = stream_->Seek(zero, STREAM_SEEK_END, &end);
  if (FAILED(result)) {
    error_ = result;
    return;
  }
  size_ = end.QuadPart > static_cast<ULONGLONG>(std::numeric_limits<int64_t>::max())
              ? 0
              : static_cast<int64_t>(end.QuadPart);
}

StreamSource::~StreamSource() {
  if (stream_ != nullptr) stream_->Release();
}

size_t StreamSource::ReadAt(int64_t offset, void* buffer, size_t n) const {
  if (stream_ == nullptr || FAILED(error_) || offset < 0 || offset >= size_ || n == 0) return 0;
  // Never past the size measured at the start, whatever the stream does.
  const uint64_t room = static_cast<uint64_t>(size_ - offset);
  if (n > room) n = static_cast<size_t>(room);
  LARGE_INTEGER position;
  position.QuadPart = offset;
  HRESULT result = stream_->Seek(position, STREAM_SEEK_SET, nullptr);
  if (FAILED(result)) {
    error_ = result;
    return 0;
  }
  size_t done = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (done < n) {
    const size_t left = n - done;
    const ULONG ask = left > kMaxReadChunk ? kMaxReadChunk : static_cast<ULONG>(left);
    ULONG got = 0;
    result = stream_->Read(bytes + done, ask, &got);
    if (FAILED(result)) {
      error_ = result;
      break;
    }
    if (got > ask) got = ask;  // a stream that claims more than it was asked for
    done += got;
    if (got == 0 || result == S_FALSE) break;  // the end of the stream
  }
  return done;
}

}  // namespace shell
