// Canon CIFF heaps and the JPEG segment walk.
//
// A CIFF heap is a byte range whose last 4 bytes give the offset, from the
// heap start, of its record table: a 16-bit count, then 10-byte records (type,
// length, data offset from the heap start). Records of the 0x28xx and 0x30xx
// families are heaps of their own. The leaves carry the camera and shot
// description and, in record 0x2007, the full-size JPEG preview.
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "engine/byte_order.h"
#include "engine/jpeg_markers.h"
#include "engine/limits.h"
#include "engine/parsers.h"

namespace engine {

namespace {

constexpr size_t kCiffRecordSize = 10;
constexpr size_t kTextFieldSize = 64;

// Record types acted on.
constexpr uint16_t kJpegPreview = 0x2007;
constexpr uint16_t kMakeModel = 0x080a;
constexpr uint16_t kThumbnail = 0x2008;  // a small JPEG beside the preview
constexpr uint16_t kArtist = 0x0810;
constexpr uint16_t kImageInfo = 0x1810;
constexpr uint16_t kDecoderTable = 0x1835;
constexpr uint16_t kExposureInfo = 0x1818;
constexpr uint16_t kShotInfo = 0x102a;
constexpr uint16_t kSensorInfo = 0x1031;
constexpr uint16_t kFocalLength = 0x5029;     // value in record
constexpr uint16_t kTimestampValue = 0x580e;  // value in record
constexpr uint16_t kTimestamp = 0x180e;
constexpr uint16_t kShotOrder = 0x5817;  // value in record
constexpr uint16_t kUniqueId = 0x5834;   // value in record

// Shot info: the shutter code of some bodies overflows; they keep an
// alternative value in tenths of a second.
constexpr double kShutterOverflow = 1000000.0;

struct ByteRange {
  int64_t start;
  int64_t end;  // one past the last byte
  bool Contains(const ByteRange& other) const { return start <= other.start && other.end <= end; }
  bool Overlaps(const ByteRange& other) const { return start < other.end && other.start < end; }
};

// What one walk of a heap tree has seen.
struct CiffWalk {
  std::set<int64_t> visited_tables;  // absolute positions of tables already read
  std::vector<ByteRange> ancestors;  // heaps enclosing the current one
  size_t heaps_walked = 0;
};

float FloatFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Model text follows the make's terminating NUL inside the same record.
void ReadMakeAndModel(ParseState& s) {
  const int64_t data = s.input.Tell();
  s.input.Read(s.shot.make, kTextFieldSize);
  const int64_t make_length = static_cast<int64_t>(strnlen(s.shot.make, kTextFieldSize));
  // Counted from the data, not from where a short read stopped.
  s.input.Seek(data + make_length + 1);
  s.input.Read(s.shot.model, kTextFieldSize);
  s.shot.make[kTextFieldSize - 1] = 0;
  s.shot.model[kTextFieldSize - 1] = 0;
}

void ReadShotInfo(ParseState& s) {
  read_u32(s);
  const uint16_t iso_code = read_u16(s);
  read_u16(s);
  const int16_t aperture_code = static_cast<int16_t>(read_u16(s));
  const int16_t shutter_code = static_cast<int16_t>(read_u16(s));
  read_u16(s);
  read_u16(s);  // white-balance index: feeds only the colour tables
  s.input.SeekRelative(32);
  const uint16_t alternative_shutter = read_u16(s);

  s.shot.iso_speed = static_cast<float>(50.0 * std::pow(2.0, iso_code / 32.0 - 4.0));
  s.shot.aperture = static_cast<float>(std::pow(2.0, aperture_code / 64.0));
  const double shutter = std::pow(2.0, -shutter_code / 32.0);
  s.shot.shutter =
      static_cast<float>(shutter > kShutterOverflow ? alternative_shutter / 10.0 : shutter);
}

void WalkHeap(ParseState& s, int64_t start, int64_t length, CiffWalk& walk);

// Applies one record; the stream is at the record's data.
void ApplyRecord(ParseState& s, uint16_t type, uint32_t length, int64_t data,
                 const ByteRange& table, CiffWalk& walk) {
  const int family = type >> 8;
  if (family == 0x28 || family == 0x30) {
    const ByteRange child{data, data + static_cast<int64_t>(length)};
    bool loops = child.Overlaps(table);
    for (const ByteRange& ancestor : walk.ancestors) loops = loops || child.Contains(ancestor);
    if (!loops && walk.ancestors.size() <= static_cast<size_t>(kMaxCiffHeapDepth)) {
      WalkHeap(s, data, length, walk);
    }
  }
  switch (type) {
    case kJpegPreview:
      // Offsets are 32-bit; a position beyond that lies outside any file.
      if (data <= 0xFFFFFFFF) {
        const uint32_t offset = static_cast<uint32_t>(data);
        ClaimPreview(s, PreviewClaim().Place(offset, length));
        NoteImage(s, "CIFF JpgFromRaw", offset, length);
      }
      break;
    case kThumbnail:
      NoteImage(s, "CIFF ThumbnailImage", static_cast<uint64_t>(data), length);
      break;
    case kMakeModel:
      ReadMakeAndModel(s);
      break;
    case kArtist:
      s.input.Read(s.shot.artist, kTextFieldSize);
      s.shot.artist[kTextFieldSize - 1] = 0;
      break;
    case kImageInfo:
      s.input.SeekRelative(12);
      s.shot.orientation = static_cast<int32_t>(read_u32(s));  // rotation in degrees
      break;
    case kDecoderTable:
      s.raw.compression = read_u32(s);
      break;
    case kExposureInfo: {
      s.input.SeekRelative(4);
      const float exposure = FloatFromBits(read_u32(s));
      const float f_stops = FloatFromBits(read_u32(s));
      s.shot.shutter = static_cast<float>(std::pow(2.0, -static_cast<double>(exposure)));
      s.shot.aperture = static_cast<float>(std::pow(2.0, static_cast<double>(f_stops) / 2.0));
      break;
    }
    case kShotInfo:
      ReadShotInfo(s);
      break;
    case kSensorInfo:
      s.input.SeekRelative(2);
      s.raw.raw_width = read_u16(s);
      s.raw.raw_height = read_u16(s);
      break;
    case kFocalLength:
      // Millimetres in the high half; a low half of 2 marks units of 1/32 mm.
      s.shot.focal_length = static_cast<float>(length >> 16);
      if ((length & 0xFFFF) == 2) s.shot.focal_length /= 32;
      break;
    case kTimestampValue:
      s.shot.timestamp = length;
      break;
    case kTimestamp:
      s.shot.timestamp = read_u32(s);
      break;
    case kShotOrder:
      s.shot.shot_order = length;
      break;
    case kUniqueId:
      s.shot.unique_id = length;
      break;
    default:
      // Flash (0x5813) and exposure compensation (0x5814) are not used; the
      // colour records (0x0032, 0x102c, 0x10a9, 0x1030) feed only raw decoding.
      break;
  }
}

void WalkHeap(ParseState& s, int64_t start, int64_t length, CiffWalk& walk) {
  if (length < 4 || walk.heaps_walked >= kMaxCiffHeaps) return;
  s.input.Seek(start + length - 4);
  const int64_t table_position = start + read_u32(s);
  NeedPosition(s, table_position);
  if (!walk.visited_tables.insert(table_position).second) return;
  ++walk.heaps_walked;

  s.input.Seek(table_position);
  const uint32_t count = read_u16(s);
  if (count > kMaxCiffRecords) return;
  const ByteRange table{table_position,
                        table_position + 2 + static_cast<int64_t>(count * kCiffRecordSize)};
  walk.ancestors.push_back({start, start + length});
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t type = read_u16(s);
    const uint32_t record_length = read_u32(s);
    const uint32_t data_offset = read_u32(s);
    const int64_t next_record = s.input.Tell();
    const int64_t data = start + data_offset;
    s.input.Seek(data);
    ApplyRecord(s, type, record_length, data, table, walk);
    s.input.Seek(next_record);
  }
  walk.ancestors.pop_back();
}

}  // namespace

void ParseCiffHeap(ParseState& s, uint32_t heap_start, uint32_t heap_length) {
  CiffWalk walk;
  WalkHeap(s, heap_start, heap_length, walk);
}

int WalkJpegSegments(ParseState& s, uint32_t offset) {
  constexpr uint32_t kHeapTag = 0x48454150;  // "HEAP", read in the segment's order
  s.input.Seek(offset);
  if (s.input.Get() != kMarkerPrefix || s.input.Get() != kStartOfImage) return 0;

  // No fill bytes and no markers without a length: every marker is read with
  // a length after it (all ones where the file ends).
  while (!s.input.AtEnd()) {
    const int64_t marker_position = s.input.Tell();
    const JpegSegmentHeader header = ReadJpegSegmentHeader(s.input);
    if (header.bytes_read < 2 || header.prefix != kMarkerPrefix) break;
    if (header.code == kStartOfScan) break;
    s.byte_order = kBigEndianMark;
    const uint32_t segment_length = header.length;  // counts its own two bytes
    const int64_t payload = s.input.Tell();
    if (IsBaselineOrLosslessFrame(header.code)) {
      s.input.Get();  // precision
      s.raw.raw_height = read_u16(s);
      s.raw.raw_width = read_u16(s);
    }
    s.byte_order = read_u16(s);
    const uint32_t header_length = read_u32(s);
    if (read_u32(s) == kHeapTag && segment_length >= 2 && header_length <= segment_length - 2) {
      ParseCiffHeap(s, static_cast<uint32_t>(payload + header_length),
                    segment_length - 2 - header_length);
    }
    ParseTiff(s, payload + 6);
    const int64_t next_segment = payload + static_cast<int64_t>(segment_length) - 2;
    if (next_segment <= marker_position) break;  // a length below 2 does not advance
    s.input.Seek(next_segment);
  }
  return 1;
}

}  // namespace engine
