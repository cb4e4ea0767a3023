// Foveon X3F section directories.
//
// The last 4 bytes of the file give the offset of a "SECd" directory of
// (offset, length, type) entries. Image sections ("IMAG", "IMA2") hold bitmaps
// or a JPEG preview, "CAMF" holds calibration data (which only a raw decoder
// reads) and "PROP" a list of UTF-16 name/value pairs with the camera and shot
// description.
#include <array>
#include <cstdlib>
#include <cstring>

#include "engine/limits.h"
#include "engine/parsers.h"

namespace engine {

namespace {

// Section types, four characters read as little-endian 32-bit values.
constexpr uint32_t kImageSection = 0x47414D49;     // "IMAG"
constexpr uint32_t kImage2Section = 0x32414D49;    // "IMA2"
constexpr uint32_t kPropertySection = 0x504F5250;  // "PROP"
constexpr uint32_t kDirectoryMark = 0x64434553;    // "SECd"
// Every section starts "SEC" and the first letter of its type in lower case:
// "SEC " with that letter ORed into the top byte.
constexpr uint32_t kSectionMarkBase = 0x20434553;

constexpr int64_t kOrientationOffset = 36;
constexpr int64_t kImageWidthOffset = 16;
constexpr int64_t kImageDataOffset = 24;  // bitmap data, or 4 bytes before a JPEG
constexpr int64_t kImageJpegOffset = 28;
constexpr int64_t kPropertyTableOffset = 24;

// Reads UTF-16 little-endian text as the low byte of each character, up to a
// character whose low byte is 0.
void ReadPropertyText(ParseState& s, int64_t position,
                      char (&text)[kFoveonPropertyTextLength + 1]) {
  s.input.Seek(position);
  size_t i = 0;
  for (; i < kFoveonPropertyTextLength; ++i) {
    const uint8_t low = static_cast<uint8_t>(read_u16(s) & 0xFF);
    if (low == 0) break;
    text[i] = static_cast<char>(low);
  }
  text[i] = 0;
}

void ApplyProperty(ParseState& s, const char* name, const char* value) {
  if (!std::strcmp(name, "ISO")) {
    s.shot.iso_speed = static_cast<float>(std::strtol(value, nullptr, 10));
  } else if (!std::strcmp(name, "CAMMANUF")) {
    SetText(s.shot.make, value);
  } else if (!std::strcmp(name, "CAMMODEL")) {
    SetText(s.shot.model, value);
  } else if (!std::strcmp(name, "WB_DESC")) {
    SetText(s.shot.model2, value);
  } else if (!std::strcmp(name, "TIME")) {
    s.shot.timestamp = std::strtoll(value, nullptr, 10);
  } else if (!std::strcmp(name, "EXPTIME")) {
    // Microseconds.
    s.shot.shutter = static_cast<float>(std::strtol(value, nullptr, 10) / 1000000.0);
  } else if (!std::strcmp(name, "APERTURE")) {
    s.shot.aperture = static_cast<float>(std::strtod(value, nullptr));
  } else if (!std::strcmp(name, "FLENGTH")) {
    s.shot.focal_length = static_cast<float>(std::strtod(value, nullptr));
  }
}

// Property section: 32-bit version, property count, character format,
// reserved word and total length, then the (name, value) index pairs and the
// character area they index in UTF-16 units.
void ReadPropertySection(ParseState& s, int64_t section) {
  s.input.Seek(section + 8);
  const uint32_t declared = read_u32(s);
  const int64_t characters = section + kPropertyTableOffset + 8 * static_cast<int64_t>(declared);
  const uint32_t count = declared < kMaxFoveonProperties ? declared : kMaxFoveonProperties;
  std::array<uint32_t, 2 * kMaxFoveonProperties> indices;
  s.input.Seek(section + kPropertyTableOffset);
  for (uint32_t i = 0; i < 2 * count; ++i) indices[i] = read_u32(s);
  for (uint32_t i = 0; i < count; ++i) {
    char name[kFoveonPropertyTextLength + 1];
    char value[kFoveonPropertyTextLength + 1];
    ReadPropertyText(s, characters + 2 * static_cast<int64_t>(indices[2 * i]), name);
    ReadPropertyText(s, characters + 2 * static_cast<int64_t>(indices[2 * i + 1]), value);
    ApplyProperty(s, name, value);
  }
}

}  // namespace

void ParseFoveonDirectory(ParseState& s) {
  s.byte_order = kLittleEndianMark;
  s.input.Seek(kOrientationOffset);
  s.shot.orientation = static_cast<int32_t>(read_u32(s));

  s.input.Seek(static_cast<int64_t>(s.file_size) - 4);
  s.input.Seek(read_u32(s));
  if (read_u32(s) != kDirectoryMark) return;
  read_u32(s);  // directory version
  const uint32_t entries = read_u32(s);

  int image_sections = 0;
  int property_sections = 0;
  for (uint32_t i = 0; i < entries && !s.input.AtEnd(); ++i) {
    const int64_t section = read_u32(s);
    const uint32_t length = read_u32(s);
    const uint32_t type = read_u32(s);
    const int64_t next_entry = s.input.Tell();
    s.input.Seek(section);
    if (read_u32(s) != (kSectionMarkBase | ((type & 0xFF) << 24))) return;

    if (type == kImageSection || type == kImage2Section) {
      s.input.Seek(section + kImageWidthOffset);
      const uint32_t width = read_u32(s);
      const uint32_t height = read_u32(s);
      if (width > s.raw.raw_width && height > s.raw.raw_height) {
        s.raw.raw_width = static_cast<uint16_t>(width);
        s.raw.raw_height = static_cast<uint16_t>(height);
        s.raw.raw_data_offset = static_cast<uint32_t>(section + kImageDataOffset);
      }
      s.input.Seek(section + kImageJpegOffset);
      const bool jpeg = s.input.Get() == 0xFF && s.input.Get() == 0xD8;
      // The JPEG runs to the end of its section; a section too short to hold
      // the header before it holds no preview.
      if (jpeg && length > kImageJpegOffset) {
        const uint32_t offset = static_cast<uint32_t>(section + kImageJpegOffset);
        const uint32_t jpeg_length = length - static_cast<uint32_t>(kImageJpegOffset);
        ClaimPreview(s, PreviewClaim().Place(offset, jpeg_length).Kind(PreviewKind::Jpeg));
        NoteImage(s, "X3F image section", offset, jpeg_length);
      }
      if (++image_sections == 2 && RulesChoice(s).length == 0) {
        ClaimPreview(s, PreviewClaim()
                            .Offset(static_cast<uint32_t>(section + kImageDataOffset))
                            .Size(static_cast<uint16_t>(width), static_cast<uint16_t>(height))
                            .Kind(PreviewKind::Foveon));
      }
    } else if (type == kPropertySection && property_sections++ < kMaxFoveonPropertySections) {
      ReadPropertySection(s, section);
    }
    s.input.Seek(next_entry);
  }
  s.raw.foveon = true;
}

}  // namespace engine
