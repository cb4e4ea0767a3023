// JPEG markers and the segment walk the engine's parsers share.
//
// A JPEG stream is a sequence of markers, 0xFF and a code. Most open a
// segment whose 16-bit big-endian length counts itself and the body after
// it, not the marker; TEM and the restart markers stand alone, and 0xFF
// bytes may pad before a marker. A frame header (SOFn) gives the sample
// precision, the height, the width and the component count; the scan (SOS)
// ends the markers that describe the image.
//
// The walks differ in what they forgive, and each caller's rules decide
// outcomes (a preview's size, which image is the preview), so the rules are
// spelled out per caller: this unit gives them the same way of reading a
// marker and of telling the markers apart.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/input.h"

namespace engine {

constexpr uint8_t kMarkerPrefix = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kStartOfScan = 0xDA;

// TEM (0x01) and the restart markers RST0 to RST7 (0xD0 to 0xD7): no length
// follows them.
bool IsTemOrRestart(uint8_t code);
// SOF0 to SOF15. C4 (Huffman tables), C8 (reserved) and CC (arithmetic
// conditioning) share the range without being frame headers.
bool IsFrameHeader(uint8_t code);
// Baseline (SOF0) and lossless (SOF3) frame headers: the only ones the TIFF
// parsers take a size from.
bool IsBaselineOrLosslessFrame(uint8_t code);

// A marker and the length after it: four bytes read at one position.
struct JpegSegmentHeader {
  size_t bytes_read = 0;  // below 4 at the end of the data; missing bytes read as 0xFF
  uint8_t prefix = kMarkerPrefix;
  uint8_t code = 0xFF;
  uint16_t length = 0xFFFF;  // counts itself and the body, not the marker
};
// Reads the header at the stream's position and leaves the stream after it.
JpegSegmentHeader ReadJpegSegmentHeader(InputStream& in);

// The first fields of a frame header's body.
constexpr size_t kFrameFieldsLength = 6;
struct JpegFrameHeader {
  int precision = 0;
  int height = 0;
  int width = 0;
  int components = 0;
};
JpegFrameHeader DecodeJpegFrameHeader(const uint8_t (&fields)[kFrameFieldsLength]);

// Where a frame-size walk reads: `n` bytes at `position`, true only when all
// of them were read.
class JpegReader {
 public:
  virtual bool ReadAt(int64_t position, uint8_t* out, size_t n) = 0;

 protected:
  ~JpegReader() = default;
};

// Reads through the parse's input stream (its window makes small reads cheap).
class StreamJpegReader final : public JpegReader {
 public:
  explicit StreamJpegReader(InputStream& in) : in_(in) {}
  bool ReadAt(int64_t position, uint8_t* out, size_t n) override;

 private:
  InputStream& in_;
};

// Reads a JPEG held in memory.
class MemoryJpegReader final : public JpegReader {
 public:
  MemoryJpegReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(int64_t position, uint8_t* out, size_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// What a walk for the frame header forgives.
struct FrameWalkRules {
  // A repeated SOI is passed over like TEM; otherwise its next two bytes are
  // read as a length.
  bool start_of_image_stands_alone;
  // Every segment must end by the walk's end and a frame header must hold
  // its size fields; otherwise only the size fields must lie before the end.
  bool whole_segments;
};
// The extracted JPEG's own size, and the first look into a preview.
constexpr FrameWalkRules kLenientFrameWalk{true, false};
// A preview walked to its end.
constexpr FrameWalkRules kStrictFrameWalk{false, true};

// Walks the markers from `start` (just after SOI) towards `end`, passing fill
// bytes and the markers without a length. True when a frame header (any
// SOFn) comes before the scan, the end of the image, a byte that is no
// marker or the end: its height and width are then set, zero or not.
bool FindJpegFrame(JpegReader& in, int64_t start, int64_t end, FrameWalkRules rules,
                   uint32_t* width, uint32_t* height);

// Reads from a byte source through a small buffer of its own, without
// disturbing a parse's stream: a JPEG's markers up to its scan mostly lie
// within its first kilobytes, so one or two reads of the source cover them.
class SourceJpegReader final : public JpegReader {
 public:
  // With `stream`, bytes its window already holds are taken from there.
  explicit SourceJpegReader(const ByteSource& source, const InputStream* stream = nullptr)
      : source_(source), stream_(stream) {}
  bool ReadAt(int64_t position, uint8_t* out, size_t n) override;

 private:
  static constexpr size_t kBufferSize = 4096;
  const ByteSource& source_;
  const InputStream* stream_;
  uint8_t buffer_[kBufferSize];
  int64_t buffer_start_ = -1;
  size_t buffer_length_ = 0;
};

// What a JPEG's markers before its scan say of it.
struct JpegSurvey {
  bool frame_found = false;  // a frame header (SOFn) came before the scan
  uint8_t frame_code = 0;    // its marker code: 0xC0 baseline, 0xC2 progressive, 0xC3 lossless...
  JpegFrameHeader frame;
  bool exif = false;  // an APP1 segment starting "Exif" 00 00 came before the scan
};

// Walks the segments from `start` (just after SOI) up to the scan, the end of
// the image, a byte that is no marker, `end`, or a segment reaching past
// `end`, whichever comes first; at most kMaxJpegSegmentsSurveyed segments.
JpegSurvey SurveyJpeg(JpegReader& in, int64_t start, int64_t end);

// A JPEG that can stand for a picture: a baseline, extended or progressive
// 8-bit frame of one or three components (a lossless or 12-bit frame is raw
// sensor data, not a picture to show).
bool IsPictureFrame(const JpegSurvey& survey);

}  // namespace engine
