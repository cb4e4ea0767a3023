#include "engine/input.h"

#include <algorithm>
#include <cstring>

namespace engine {

size_t MemorySource::ReadAt(int64_t offset, void* buffer, size_t n) const {
  if (offset < 0 || static_cast<uint64_t>(offset) >= size_) return 0;
  const size_t available = size_ - static_cast<size_t>(offset);
  const size_t count = std::min(n, available);
  std::memcpy(buffer, data_ + offset, count);
  return count;
}

void InputStream::Attach(const ByteSource* source) {
  source_ = source;
  size_ = source ? std::max<int64_t>(source->Size(), 0) : 0;
  position_ = 0;
  window_start_ = 0;
  window_length_ = 0;
}

bool InputStream::FillWindow(int64_t position) {
  if (!source_ || position < 0 || position >= size_) return false;
  if (window_.size() != kInputWindowSize) window_.resize(kInputWindowSize);
  window_start_ = position;
  window_length_ = source_->ReadAt(position, window_.data(), kInputWindowSize);
  return window_length_ > 0;
}

int InputStream::Get() {
  if (!source_ || position_ < 0 || position_ >= size_) {
    return -1;
  }
  if (position_ < window_start_ ||
      position_ >= window_start_ + static_cast<int64_t>(window_length_)) {
    if (!FillWindow(position_)) return -1;
  }
  const int value = window_[static_cast<size_t>(position_ - window_start_)];
  ++position_;
  return value;
}

size_t InputStream::Read(void* buffer, size_t n) {
  if (!source_ || n == 0 || position_ < 0 || position_ >= size_) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  // Part of the request that the window already holds.
  if (position_ >= window_start_ &&
      position_ < window_start_ + static_cast<int64_t>(window_length_)) {
    const size_t at = static_cast<size_t>(position_ - window_start_);
    const size_t take = std::min(n, window_length_ - at);
    std::memcpy(out, window_.data() + at, take);
    done = take;
    position_ += static_cast<int64_t>(take);
  }
  if (done < n) {
    const size_t left = n - done;
    if (left >= kInputWindowSize / 2) {
      const size_t got = source_->ReadAt(position_, out + done, left);
      done += got;
      position_ += static_cast<int64_t>(got);
    } else if (FillWindow(position_)) {
      const size_t take = std::min(left, window_length_);
      std::memcpy(out + done, window_.data(), take);
      done += take;
      position_ += static_cast<int64_t>(take);
    }
  }
  return done;
}

size_t InputStream::PeekAt(int64_t offset, void* buffer, size_t n) const {
  if (!source_ || n == 0 || offset < 0 || offset >= size_) return 0;
  if (WindowHolds(offset, n)) {
    std::memcpy(buffer, window_.data() + (offset - window_start_), n);
    return n;
  }
  return source_->ReadAt(offset, buffer, n);
}

}  // namespace engine
