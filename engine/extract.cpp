// The embedded JPEG preview, with a synthesized Exif segment when it has none.
//
// The preview bytes are copied as stored. One allocation is made 1146 bytes
// larger than the preview so that an Exif segment can be inserted in place
// after the start-of-image marker; when the preview already has one, the
// surplus is given back.
#include "engine/extract.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/parsers.h"

namespace engine {
namespace {

constexpr const char* kDefaultSoftware = "RLFT engine v1.00";

// The smallest preview worth looking at: SOI plus the ten bytes of an APP1
// header, so that the Exif identifier test reads only bytes that were read.
constexpr uint32_t kMinimumPreviewLength = 12;

// Layout of the header block (offsets from its first byte, the TIFF header).
constexpr size_t kIfd0Offset = 10;
constexpr uint16_t kIfd0EntryCount = 12;
constexpr size_t kIfd0NextOffset = 276;
constexpr size_t kExifIfdOffset = 282;
constexpr uint16_t kExifEntryCount = 4;
constexpr size_t kExposureAt = 340;
constexpr size_t kFNumberAt = 348;
constexpr size_t kFocalLengthAt = 356;
constexpr size_t kXResolutionAt = 364;
constexpr size_t kYResolutionAt = 372;
constexpr size_t kDescriptionAt = 380;
constexpr size_t kMakeAt = 892;
constexpr size_t kModelAt = 956;
constexpr size_t kSoftwareAt = 1020;
constexpr size_t kDateTimeAt = 1052;
constexpr size_t kArtistAt = 1072;
constexpr size_t kDescriptionSize = 512;
constexpr size_t kNameSize = 64;
constexpr size_t kSoftwareSize = 32;
constexpr size_t kDateTimeSize = 20;

// Rationals carry six decimal places.
constexpr double kRationalScale = 1000000.0;
constexpr uint32_t kResolutionDpi = 300;

// The Exif form of an unknown date: blanks with the separators kept.
constexpr const char* kUnknownDate = "    :  :     :  :  ";
constexpr int64_t kLastYear = 9999;  // the date text has four year digits

// Writes multi-byte values of the block in the host's order, which the
// block's order mark names.
class BlockWriter {
 public:
  explicit BlockWriter(uint8_t* block) : block_(block), little_(HostByteOrder() == 0x4949) {}

  void U16(size_t at, uint16_t v) {
    if (little_) {
      block_[at] = static_cast<uint8_t>(v);
      block_[at + 1] = static_cast<uint8_t>(v >> 8);
    } else {
      block_[at] = static_cast<uint8_t>(v >> 8);
      block_[at + 1] = static_cast<uint8_t>(v);
    }
  }
  void U32(size_t at, uint32_t v) {
    if (little_) {
      U16(at, static_cast<uint16_t>(v));
      U16(at + 2, static_cast<uint16_t>(v >> 16));
    } else {
      U16(at, static_cast<uint16_t>(v >> 16));
      U16(at + 2, static_cast<uint16_t>(v));
    }
  }
  // A 12-byte directory entry whose value is one 32-bit number.
  void Entry(size_t at, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    U16(at, tag);
    U16(at + 2, type);
    U32(at + 4, count);
    U32(at + 8, value);
  }
  // A SHORT entry with count 1: the value in the first two value bytes.
  void ShortEntry(size_t at, uint16_t tag, uint16_t value) {
    U16(at, tag);
    U16(at + 2, 3);
    U32(at + 4, 1);
    U16(at + 8, value);
  }
  void Rational(size_t at, uint32_t numerator, uint32_t denominator) {
    U32(at, numerator);
    U32(at + 4, denominator);
  }
  // Text up to its first NUL, at most size - 1 bytes, so that the field
  // stays terminated; the block is already zero.
  void Text(size_t at, const char* text, size_t size) {
    size_t n = 0;
    while (n + 1 < size && text[n]) ++n;
    std::memcpy(block_ + at, text, n);
  }

 private:
  uint8_t* block_;
  bool little_;
};

// trunc(value x 10^6) as a 32-bit integer, saturating instead of
// overflowing for values no camera writes; NaN gives 0.
uint32_t ScaledNumerator(float value) {
  const double scaled = std::trunc(static_cast<double>(value) * kRationalScale);
  if (!(scaled == scaled)) return 0;
  if (scaled >= 2147483647.0) return 0x7FFFFFFF;
  if (scaled <= -2147483648.0) return 0x80000000u;
  return static_cast<uint32_t>(static_cast<int32_t>(scaled));
}

uint16_t IsoValue(float iso) {
  const double truncated = std::trunc(static_cast<double>(iso));
  if (!(truncated == truncated)) return 0;
  if (truncated >= 2147483647.0) return 0xFFFF;
  if (truncated <= -2147483648.0) return 0;
  return static_cast<uint16_t>(static_cast<int32_t>(truncated) & 0xFFFF);
}

// The orientation code for the header. Some containers store a rotation in
// degrees instead of a code; those map to the code of the same rotation.
int OrientationCodeForHeader(int32_t orientation) {
  if (orientation >= 0 && orientation <= 7) return orientation;
  switch (((orientation % 360) + 360) % 360) {
    case 90:
      return 6;
    case 180:
      return 3;
    case 270:
      return 5;
    default:
      return 0;
  }
}

// Days since 1970-01-01 to a proleptic Gregorian date (valid for days >= 0).
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;  // shift the epoch to 0000-03-01
  const int64_t era = days / 146097;
  const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned month_index = (5 * day_of_year + 2) / 153;  // March = 0
  *day = day_of_year - (153 * month_index + 2) / 5 + 1;
  *month = month_index < 10 ? month_index + 3 : month_index - 9;
  *year = static_cast<int64_t>(year_of_era) + era * 400 + (*month <= 2 ? 1 : 0);
}

// The Exif date text of a UTC timestamp, or the unknown-date form.
void FormatExifDate(int64_t timestamp, char (&text)[kDateTimeSize]) {
  constexpr int64_t kSecondsPerDay = 86400;
  if (timestamp >= 0) {
    int64_t year;
    unsigned month, day;
    CivilFromDays(timestamp / kSecondsPerDay, &year, &month, &day);
    if (year <= kLastYear) {
      const int second_of_day = static_cast<int>(timestamp % kSecondsPerDay);
      char formatted[32];  // room for any int, though the values are bounded
      std::snprintf(formatted, sizeof formatted, "%04d:%02u:%02u %02d:%02d:%02d",
                    static_cast<int>(year), month, day, second_of_day / 3600,
                    second_of_day / 60 % 60, second_of_day % 60);
      std::snprintf(text, sizeof text, "%.19s", formatted);
      return;
    }
  }
  std::snprintf(text, sizeof text, "%s", kUnknownDate);
}

// Bytes at the start of a preview that tell whether it carries its own Exif
// segment: SOI, the APP1 marker and length, "Exif" and its NUL.
constexpr size_t kExifProbeLength = 11;
static_assert(kExifProbeLength <= kMinimumPreviewLength, "the probe lies inside every preview");

bool PreviewHasExifSegment(const uint8_t* preview) {
  return std::memcmp(preview + 6, "Exif", 5) == 0;  // "Exif" and its NUL
}

// The preview of the identified file as one allocation, or nullptr.
uint8_t* ReadPreview(ParseState& s, const char* software, uint32_t* length) {
  if (!s.raw_count || !s.preview_offset || !s.preview_length || s.preview_kind != PreviewKind::Jpeg)
    return nullptr;
  // Offsets and lengths come from the file: the preview must lie wholly
  // inside it, which also bounds the allocation by the file's size.
  const int64_t end = static_cast<int64_t>(s.preview_offset) + s.preview_length;
  if (s.preview_length < kMinimumPreviewLength || end > s.input.Size()) return nullptr;
  const size_t stored = s.preview_length;

  // A look at the first bytes decides where the preview goes in the buffer,
  // so that it is read once, straight into place, and never moved to make
  // room for a synthesized Exif segment.
  uint8_t head[kExifProbeLength];
  s.input.Seek(s.preview_offset);
  if (s.input.Read(head, sizeof head) != sizeof head) return nullptr;
  // The first two bytes become the start-of-image marker whatever was stored
  // there, but a JPEG stream goes on with another marker: anything else (the
  // placeholder text of a stripped file, say) is not a preview at all.
  if (head[2] != 0xFF) return nullptr;
  const bool hasExif = PreviewHasExifSegment(head);
  const size_t room = hasExif ? 0 : kExifSegmentSize;

  uint8_t* buffer = static_cast<uint8_t*>(std::malloc(stored + room));
  if (!buffer) return nullptr;
  std::memcpy(buffer + room, head, sizeof head);
  if (s.input.Read(buffer + room + sizeof head, stored - sizeof head) != stored - sizeof head) {
    std::free(buffer);
    return nullptr;
  }
  buffer[0] = 0xFF;
  buffer[1] = 0xD8;
  if (hasExif) {
    *length = s.preview_length;
    return buffer;
  }

  // The stored bytes after SOI sit behind the room for the segment.
  static const uint8_t kApp1Header[10] = {0xFF, 0xE1, 0x04, 0x78, 'E', 'x', 'i', 'f', 0, 0};
  std::memcpy(buffer + 2, kApp1Header, sizeof kApp1Header);
  uint8_t* block = buffer + 2 + sizeof kApp1Header;
  BuildExifHeaderBlock(s, block);
  if (software) {
    char* field = reinterpret_cast<char*>(block + kSoftwareAt);
    std::memset(field, 0, kSoftwareSize);
    std::strncpy(field, software, kSoftwareSize - 1);
  }
  *length = static_cast<uint32_t>(stored + kExifSegmentSize);
  return buffer;
}

}  // namespace

void BuildExifHeaderBlock(const ParseState& s, uint8_t* block) {
  std::memset(block, 0, kExifHeaderBlockSize);
  BlockWriter w(block);
  const uint16_t order = HostByteOrder();
  block[0] = block[1] = static_cast<uint8_t>(order & 0xFF);
  w.U16(2, 42);
  w.U32(4, kIfd0Offset);

  size_t at = kIfd0Offset;
  w.U16(at, kIfd0EntryCount);
  at += 2;
  w.Entry(at, 270, 2, kDescriptionSize, kDescriptionAt), at += 12;
  w.Entry(at, 271, 2, kNameSize, kMakeAt), at += 12;
  w.Entry(at, 272, 2, kNameSize, kModelAt), at += 12;
  w.ShortEntry(
      at, 274,
      static_cast<uint16_t>(ExifOrientationFromCode(OrientationCodeForHeader(s.orientation)))),
      at += 12;
  w.Entry(at, 282, 5, 1, kXResolutionAt), at += 12;
  w.Entry(at, 283, 5, 1, kYResolutionAt), at += 12;
  w.ShortEntry(at, 284, 1), at += 12;  // chunky pixels
  w.ShortEntry(at, 296, 2), at += 12;  // resolution in inches
  w.Entry(at, 305, 2, kSoftwareSize, kSoftwareAt), at += 12;
  w.Entry(at, 306, 2, kDateTimeSize, kDateTimeAt), at += 12;
  w.Entry(at, 315, 2, kNameSize, kArtistAt), at += 12;
  w.Entry(at, 34665, 4, 1, kExifIfdOffset);
  w.U32(kIfd0NextOffset, 0);

  at = kExifIfdOffset;
  w.U16(at, kExifEntryCount);
  at += 2;
  w.Entry(at, 33434, 5, 1, kExposureAt), at += 12;
  w.Entry(at, 33437, 5, 1, kFNumberAt), at += 12;
  w.ShortEntry(at, 34855, IsoValue(s.iso_speed)), at += 12;
  w.Entry(at, 37386, 5, 1, kFocalLengthAt);

  w.Rational(kExposureAt, ScaledNumerator(s.shutter), 1000000);
  w.Rational(kFNumberAt, ScaledNumerator(s.aperture), 1000000);
  w.Rational(kFocalLengthAt, ScaledNumerator(s.focal_length), 1000000);
  w.Rational(kXResolutionAt, kResolutionDpi, 1);
  w.Rational(kYResolutionAt, kResolutionDpi, 1);

  w.Text(kDescriptionAt, s.description, kDescriptionSize);
  w.Text(kMakeAt, s.make, kNameSize);
  w.Text(kModelAt, s.model, kNameSize);
  w.Text(kSoftwareAt, kDefaultSoftware, kSoftwareSize);
  char date[kDateTimeSize];
  FormatExifDate(s.timestamp, date);
  w.Text(kDateTimeAt, date, kDateTimeSize);
  w.Text(kArtistAt, s.artist, kNameSize);
}

int ExtractEmbeddedPreviewFrom(const ByteSource& source, const std::string& name,
                               const platform::NativePath& path, const char* software,
                               uint8_t** buffer, uint32_t* length) {
  // A fresh state per extraction: nothing of another file or thread leaks in.
  auto state = std::make_unique<ParseState>();
  ParseState& s = *state;
  s.input.Attach(&source);
  s.input_name = name;
  s.input_path = path;
  try {
    IdentifyFile(s);
  } catch (const ParseAbort&) {
    return 0;
  }
  uint32_t preview_length = 0;
  uint8_t* preview = ReadPreview(s, software, &preview_length);
  if (!preview) return 0;
  *buffer = preview;
  *length = preview_length;
  return 1;
}

int ExtractEmbeddedPreview(const std::u16string& path, const char* software, uint8_t** buffer,
                           uint32_t* length) {
  const platform::NativePath native = platform::ToNativePath(path);
  FileSource source(native);
  if (!source.IsOpen()) return 0;
  return ExtractEmbeddedPreviewFrom(source, platform::PathForDisplay(path), native, software,
                                    buffer, length);
}

bool IdentifySource(const ByteSource& source, const std::string& name,
                    const platform::NativePath& path, ParseState* state) {
  // Start from a freshly constructed state; only the caller's choice of
  // diagnostics stream survives.
  FILE* const diagnostics = state->diagnostics;
  *state = ParseState();
  state->diagnostics = diagnostics;
  state->input.Attach(&source);
  state->input_name = name;
  state->input_path = path;
  try {
    IdentifyFile(*state);
  } catch (const ParseAbort&) {
    return false;
  }
  return source.Size() > 0;
}

}  // namespace engine
