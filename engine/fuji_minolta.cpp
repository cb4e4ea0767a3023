// Fuji RAF directories and Minolta MRW block lists.
//
// A RAF header points at a JPEG preview and at a small directory of tagged
// raw-image records. An MRW file is a list of tagged blocks, one of which
// ("TTW") is a complete TIFF structure whose maker note holds the preview.
#include <cstring>

#include "engine/limits.h"
#include "engine/parsers.h"

namespace engine {

namespace {

constexpr uint16_t kFujiRawSize = 0x100;
constexpr uint16_t kFujiImageSize = 0x121;
constexpr uint16_t kFujiLayout = 0x130;
constexpr uint16_t kFujiWhiteBalance = 0x2ff0;
// One body reports 4284 columns for an image that is 4287 wide.
constexpr uint16_t kFujiShortWidth = 4284;
constexpr uint16_t kFujiTrueWidth = 4287;

constexpr size_t kMinoltaBlockHeader = 8;              // tag and length
constexpr uint32_t kMinoltaSensorBlock = 0x00505244;   // "\0PRD"
constexpr uint32_t kMinoltaTiffBlock = 0x00545457;     // "\0TTW"
constexpr uint32_t kMinoltaWhiteBalance = 0x00574247;  // "\0WBG"

}  // namespace

void ParseFujiDirectory(ParseState& s, uint32_t directory_offset) {
  s.input.Seek(directory_offset);
  const uint32_t entries = read_u32(s);
  if (entries >= kMaxFujiEntries) return;
  for (uint32_t i = 0; i < entries && !s.input.AtEnd(); ++i) {
    const uint16_t tag = read_u16(s);
    const uint16_t length = read_u16(s);
    const int64_t data = s.input.Tell();
    switch (tag) {
      case kFujiRawSize:
        s.raw.raw_height = read_u16(s);
        s.raw.raw_width = read_u16(s);
        break;
      case kFujiImageSize:
        s.raw.image_height = read_u16(s);
        s.raw.image_width = read_u16(s);
        if (s.raw.image_width == kFujiShortWidth) s.raw.image_width = kFujiTrueWidth;
        break;
      case kFujiLayout: {
        const int flags = s.input.Get();
        if (flags >= 0) s.raw.fuji_layout = static_cast<uint32_t>(flags) >> 7;
        break;
      }
      case kFujiWhiteBalance:
        // Green, red, green, blue: the first multiplier is the second value.
        read_u16(s);
        s.raw.first_camera_multiplier = read_u16(s);
        break;
      default:
        break;
    }
    s.input.Seek(data + length);
  }
  // The 45-degree layout stores half the columns at twice the rows.
  s.raw.image_height = static_cast<uint16_t>(s.raw.image_height << s.raw.fuji_layout);
  s.raw.image_width = static_cast<uint16_t>(s.raw.image_width >> s.raw.fuji_layout);
}

void ParseMinoltaBlocks(ParseState& s, uint32_t base) {
  s.input.Seek(base);
  if (s.input.Get() != 0 || s.input.Get() != 'M' || s.input.Get() != 'R') return;
  // The fourth byte, repeated, is the list's byte order mark ("MM" or "II").
  const uint16_t list_order = static_cast<uint16_t>((s.input.Get() & 0xFF) * 0x0101);
  s.byte_order = list_order;
  const uint32_t list_length = read_u32(s);
  const int64_t raw_data = static_cast<int64_t>(base) + list_length + kMinoltaBlockHeader;
  // The declared end may lie far beyond a truncated file; the walk stops at
  // whichever comes first.
  const int64_t end = raw_data < s.input.Size() ? raw_data : s.input.Size();

  uint16_t sensor_height = 0;
  uint16_t sensor_width = 0;
  while (s.input.Tell() < end) {
    const int64_t block = s.input.Tell();
    const uint32_t tag = read_big_endian_u32(s);  // compared whatever the list's order
    const uint32_t length = read_u32(s);
    switch (tag) {
      case kMinoltaSensorBlock:
        s.input.SeekRelative(8);
        sensor_height = read_u16(s);
        sensor_width = read_u16(s);
        break;
      case kMinoltaTiffBlock:
        ParseTiff(s, block + static_cast<int64_t>(kMinoltaBlockHeader));
        // The TIFF block declares its own order; the blocks after it are
        // still in the list's.
        s.byte_order = list_order;
        s.raw.raw_data_offset = static_cast<uint32_t>(raw_data);
        break;
      case kMinoltaWhiteBalance: {
        // Four multipliers; the A200 stores the first of them third, the
        // other bodies first.
        s.input.SeekRelative(4);
        if (std::strstr(s.shot.model, "A200")) s.input.SeekRelative(4);
        s.raw.first_camera_multiplier = read_u16(s);
        break;
      }
      default:
        break;
    }
    const int64_t next = block + static_cast<int64_t>(kMinoltaBlockHeader) + length;
    if (next <= block) break;  // a block that does not advance ends the walk
    s.input.Seek(next);
  }
  s.raw.raw_height = sensor_height;
  s.raw.raw_width = sensor_width;
}

}  // namespace engine
