#include "engine/jpeg_markers.h"

#include <cstring>

#include "engine/byte_order.h"
#include "engine/limits.h"

namespace engine {

namespace {

constexpr uint8_t kTem = 0x01;
constexpr uint8_t kFirstRestart = 0xD0;
constexpr uint8_t kLastRestart = 0xD7;
constexpr uint8_t kFirstFrame = 0xC0;        // SOF0, baseline
constexpr uint8_t kExtendedFrame = 0xC1;     // SOF1
constexpr uint8_t kProgressiveFrame = 0xC2;  // SOF2
constexpr uint8_t kLosslessFrame = 0xC3;     // SOF3
constexpr uint8_t kLastFrame = 0xCF;
constexpr uint8_t kHuffmanTables = 0xC4;
constexpr uint8_t kReservedFrame = 0xC8;
constexpr uint8_t kArithmeticConditioning = 0xCC;
constexpr uint8_t kApp1 = 0xE1;

// Marker and length before a segment's body.
constexpr int64_t kSegmentHeaderLength = 4;
// A frame header's precision, height and width after its length.
constexpr size_t kFrameSizeFieldsLength = 5;

}  // namespace

bool IsTemOrRestart(uint8_t code) {
  return code == kTem || (code >= kFirstRestart && code <= kLastRestart);
}

bool IsFrameHeader(uint8_t code) {
  return code >= kFirstFrame && code <= kLastFrame && code != kHuffmanTables &&
         code != kReservedFrame && code != kArithmeticConditioning;
}

bool IsBaselineOrLosslessFrame(uint8_t code) {
  return code == kFirstFrame || code == kLosslessFrame;
}

JpegSegmentHeader ReadJpegSegmentHeader(InputStream& in) {
  uint8_t bytes[kSegmentHeaderLength] = {0xFF, 0xFF, 0xFF, 0xFF};
  JpegSegmentHeader header;
  header.bytes_read = in.Read(bytes, sizeof bytes);
  header.prefix = bytes[0];
  header.code = bytes[1];
  header.length = LoadBigEndian16(bytes + 2);
  return header;
}

JpegFrameHeader DecodeJpegFrameHeader(const uint8_t (&fields)[kFrameFieldsLength]) {
  JpegFrameHeader frame;
  frame.precision = fields[0];
  frame.height = LoadBigEndian16(fields + 1);
  frame.width = LoadBigEndian16(fields + 3);
  frame.components = fields[5];
  return frame;
}

bool StreamJpegReader::ReadAt(int64_t position, uint8_t* out, size_t n) {
  in_.Seek(position);
  return in_.Read(out, n) == n;
}

bool SourceJpegReader::ReadAt(int64_t position, uint8_t* out, size_t n) {
  if (position < 0) return false;
  if (stream_ != nullptr && stream_->WindowHolds(position, n)) {
    return stream_->PeekAt(position, out, n) == n;
  }
  if (n > kBufferSize) return source_.ReadAt(position, out, n) == n;
  const bool inside = buffer_start_ >= 0 && position >= buffer_start_ &&
                      static_cast<uint64_t>(position - buffer_start_) + n <= buffer_length_;
  if (!inside) {
    buffer_start_ = position;
    buffer_length_ = source_.ReadAt(position, buffer_, kBufferSize);
    if (buffer_length_ < n) return false;
  }
  std::memcpy(out, buffer_ + (position - buffer_start_), n);
  return true;
}

bool MemoryJpegReader::ReadAt(int64_t position, uint8_t* out, size_t n) {
  if (position < 0 || static_cast<uint64_t>(position) > size_ ||
      n > size_ - static_cast<size_t>(position))
    return false;
  std::memcpy(out, data_ + position, n);
  return true;
}

bool FindJpegFrame(JpegReader& in, int64_t start, int64_t end, FrameWalkRules rules,
                   uint32_t* width, uint32_t* height) {
  // Every step moves forward by at least one byte, so the walk ends. A frame
  // header needs nine bytes from its marker on, so a walk that gets within
  // four bytes of the end can find none.
  for (int64_t at = start; at + kSegmentHeaderLength <= end;) {
    uint8_t header[kSegmentHeaderLength];
    if (!in.ReadAt(at, header, sizeof header) || header[0] != kMarkerPrefix) return false;
    const uint8_t code = header[1];
    if (code == kMarkerPrefix) {  // a fill byte before a marker
      at += 1;
      continue;
    }
    if (IsTemOrRestart(code) || (rules.start_of_image_stands_alone && code == kStartOfImage)) {
      at += 2;
      continue;
    }
    if (code == kStartOfScan || code == kEndOfImage) return false;
    const int64_t length = LoadBigEndian16(header + 2);
    if (length < 2) return false;
    if (rules.whole_segments && at + 2 + length > end) return false;
    if (IsFrameHeader(code)) {
      const int64_t fields_end = at + kSegmentHeaderLength + kFrameSizeFieldsLength;
      if (rules.whole_segments ? length < 2 + static_cast<int64_t>(kFrameSizeFieldsLength)
                               : fields_end > end)
        return false;
      uint8_t fields[kFrameSizeFieldsLength];
      if (!in.ReadAt(at + kSegmentHeaderLength, fields, sizeof fields)) return false;
      *height = LoadBigEndian16(fields + 1);
      *width = LoadBigEndian16(fields + 3);
      return true;
    }
    at += 2 + length;
  }
  return false;
}

JpegSurvey SurveyJpeg(JpegReader& in, int64_t start, int64_t end) {
  JpegSurvey survey;
  static const uint8_t kExifIdentifier[6] = {'E', 'x', 'i', 'f', 0, 0};
  int segments = 0;
  for (int64_t at = start; at + kSegmentHeaderLength <= end;) {
    uint8_t header[kSegmentHeaderLength];
    if (!in.ReadAt(at, header, sizeof header) || header[0] != kMarkerPrefix) break;
    const uint8_t code = header[1];
    if (code == kMarkerPrefix) {  // a fill byte before a marker
      at += 1;
      continue;
    }
    if (++segments > kMaxJpegSegmentsSurveyed) break;
    if (IsTemOrRestart(code)) {
      at += 2;
      continue;
    }
    if (code == kStartOfScan || code == kEndOfImage) break;
    const int64_t length = LoadBigEndian16(header + 2);
    if (length < 2 || at + 2 + length > end) break;
    const int64_t body = at + kSegmentHeaderLength;
    if (IsFrameHeader(code) && !survey.frame_found &&
        length >= 2 + static_cast<int64_t>(kFrameFieldsLength)) {
      uint8_t fields[kFrameFieldsLength];
      if (!in.ReadAt(body, fields, sizeof fields)) break;
      survey.frame_found = true;
      survey.frame_code = code;
      survey.frame = DecodeJpegFrameHeader(fields);
    } else if (code == kApp1 && !survey.exif && length >= 2 + 6) {
      uint8_t identifier[6];
      if (in.ReadAt(body, identifier, sizeof identifier) &&
          std::memcmp(identifier, kExifIdentifier, sizeof identifier) == 0)
        survey.exif = true;
    }
    at += 2 + length;
  }
  return survey;
}

bool IsPictureFrame(const JpegSurvey& survey) {
  const bool picture_coding = survey.frame_code == kFirstFrame ||
                              survey.frame_code == kExtendedFrame ||
                              survey.frame_code == kProgressiveFrame;
  return survey.frame_found && picture_coding && survey.frame.precision == 8 &&
         (survey.frame.components == 1 || survey.frame.components == 3) && survey.frame.width > 0 &&
         survey.frame.height > 0;
}

}  // namespace engine
