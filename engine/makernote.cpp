// Maker notes: the camera makers' own directories inside the Exif directory.
//
// A maker note starts with a header that names its maker; the header decides
// where the directory starts, which byte order it uses and what its value
// offsets count from. The entries that matter here locate the embedded
// preview or describe the shot; the colour records are passed over.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "engine/byte_order.h"
#include "engine/limits.h"
#include "engine/parsers.h"
#include "engine/tags.h"

namespace engine {

namespace {

// Bytes of the header that identify the maker.
constexpr size_t kHeaderSize = 10;
// Nikon capture-note records: tag, 14 bytes, size; the payload follows.
constexpr int64_t kCaptureRecordHeader = 22;
constexpr uint32_t kCaptureOrientationRecord = 0x76A43207;
// Olympus image-processing sub-directory; inside it, tags carry it above them.
constexpr uint32_t kOlympusSubdirectoryTag = tag::kNoteOlympusSubdirectory;

// Restores the byte order on every path out of a structure that declares its own.
class ByteOrderGuard {
 public:
  explicit ByteOrderGuard(ParseState& s) : s_(s), saved_(s.byte_order) {}
  ~ByteOrderGuard() { s_.byte_order = saved_; }
  ByteOrderGuard(const ByteOrderGuard&) = delete;
  ByteOrderGuard& operator=(const ByteOrderGuard&) = delete;

 private:
  ParseState& s_;
  uint16_t saved_;
};

bool HeaderStartsWith(const char* header, const char* prefix) {
  return std::strncmp(header, prefix, std::strlen(prefix)) == 0;
}

bool HeaderEquals(const char* header, const char* text) {
  return std::strcmp(header, text) == 0;
}

// KC and MLY notes are no directory: somewhere in them sit four 16-bit values
// (a, 256, b, 256), the camera's white-balance multipliers. The last such
// group before the raw data (and the scan's end) gives the first multiplier.
void ScanWhiteBalance(ParseState& s) {
  s.byte_order = kBigEndianMark;
  uint32_t last[4] = {0, 0, 0, 0};
  while (s.input.Tell() < s.raw.raw_data_offset && s.input.Tell() < kWhiteBalanceScanEnd &&
         !s.input.AtEnd()) {
    last[0] = last[1];
    last[1] = last[2];
    last[2] = last[3];
    last[3] = read_u16(s);
    const bool in_range_a = last[0] > 256 && last[0] < 640;
    const bool in_range_b = last[2] > 256 && last[2] < 640;
    if (in_range_a && in_range_b && last[1] == 256 && last[3] == 256)
      s.raw.first_camera_multiplier = static_cast<float>(last[0]);
  }
}

// The Nikon capture note (0x0E01): little-endian records, one of which holds
// the rotation of the picture in degrees.
void ReadCaptureNote(ParseState& s, uint32_t count) {
  ByteOrderGuard order(s);
  s.byte_order = kLittleEndianMark;
  const int64_t start = s.input.Tell();
  // Each record moves at least 18 bytes on, and the walk stops at the end of
  // the note and at the end of the file.
  for (int64_t record = kCaptureRecordHeader; record + kCaptureRecordHeader < count;) {
    if (start + record >= s.input.Size()) break;
    s.input.Seek(start + record);
    const uint32_t tag = read_u32(s);
    s.input.SeekRelative(14);
    const uint32_t size = read_u32(s);
    if (tag == kCaptureOrientationRecord) s.shot.orientation = read_u16(s);
    const int64_t next = record + kCaptureRecordHeader + static_cast<int64_t>(size) - 4;
    if (next <= record) break;
    record = next;
  }
}

// The Canon shot information (0x0004): ISO, aperture, shutter and shot count.
void ReadShotInfo(ParseState& s) {
  s.input.SeekRelative(4);
  const uint16_t iso = read_u16(s);
  s.shot.iso_speed = static_cast<float>(50 * std::pow(2.0, iso / 32.0 - 4));
  s.input.SeekRelative(2);
  const uint16_t aperture = read_u16(s);
  if (aperture != 0x7FFF) s.shot.aperture = static_cast<float>(std::pow(2.0, aperture / 64.0));
  const uint16_t shutter = read_u16(s);
  if (shutter != 0xFFFF)
    s.shot.shutter = static_cast<float>(std::pow(2.0, -static_cast<int16_t>(shutter) / 32.0));
  s.input.SeekRelative(2);
  read_u16(s);  // white-balance index: colour only
  s.input.SeekRelative(2);
  s.shot.shot_order = read_u16(s);
}

// Sub-directories of a maker note are stored either as the value itself (an
// undefined block) or as an offset to it (IFD or LONG types): follow the
// offset in the second case.
void SeekSubdirectory(ParseState& s, const TiffEntry& e, int64_t base) {
  const bool is_pointer = e.type == 13 || (e.type == 4 && e.count == 1);
  if (is_pointer) s.input.Seek(base + read_u32(s));
}

// A maker note names its preview entry by entry (start, then length, or the
// other way round): once the note is read, a preview it named goes into the
// list of embedded images.
class MakerNotePreviewWatch {
 public:
  explicit MakerNotePreviewWatch(ParseState& s) : s_(s), before_(RulesChoice(s)) {}
  ~MakerNotePreviewWatch() { NotePreviewIfChanged(s_, "MakerNote PreviewImage", before_); }
  MakerNotePreviewWatch(const MakerNotePreviewWatch&) = delete;
  MakerNotePreviewWatch& operator=(const MakerNotePreviewWatch&) = delete;

 private:
  ParseState& s_;
  const RulesPreview before_;
};

}  // namespace

void ParseMakerNote(ParseState& s, int64_t base, uint32_t upper_tag) {
  MakerNotePreviewWatch preview_watch(s);
  ByteOrderGuard order(s);
  const int64_t note_start = s.input.Tell();
  LaterNoteHeader later = LaterNoteHeader::kNone;
  char header[kHeaderSize + 1] = {};
  s.input.Read(header, kHeaderSize);
  const int64_t after_header = s.input.Tell();

  if (HeaderStartsWith(header, "KDK") || HeaderStartsWith(header, "VER") ||
      HeaderStartsWith(header, "IIII") || HeaderStartsWith(header, "MMMM"))
    return;
  if (HeaderStartsWith(header, "KC") || HeaderStartsWith(header, "MLY")) {
    ScanWhiteBalance(s);
    return;
  }
  if (HeaderEquals(header, "Nikon")) {
    // An embedded TIFF header: offsets count from it, and it names the order.
    base = s.input.Tell();
    s.byte_order = read_u16(s);
    if (read_u16(s) != 42) return;
    const uint32_t offset = read_u32(s);
    s.input.SeekRelative(static_cast<int64_t>(offset) - 8);
  } else if (HeaderEquals(header, "OLYMPUS")) {
    // "OLYMPUS" 00, the order mark, a version; offsets count from the note.
    base = note_start;
    s.input.SeekRelative(-2);
    s.byte_order = read_u16(s);
    read_u16(s);
  } else if (HeaderStartsWith(header, "FUJIFILM") || HeaderStartsWith(header, "SONY") ||
             HeaderEquals(header, "Panasonic")) {
    s.byte_order = kLittleEndianMark;
    read_u16(s);
  } else if (HeaderEquals(header, "OLYMP") || HeaderEquals(header, "LEICA") ||
             HeaderEquals(header, "Ricoh") || HeaderEquals(header, "EPSON")) {
    s.input.SeekRelative(-2);
  } else if (HeaderEquals(header, "AOC") || HeaderEquals(header, "QVC")) {
    s.input.SeekRelative(-4);
  } else if ((later = ReadLaterNoteHeader(s, header, note_start, &base)) !=
             LaterNoteHeader::kNone) {
    // Later Pentax/Ricoh and OM System bodies: positioned by the header.
  } else {
    s.input.Seek(after_header - static_cast<int64_t>(kHeaderSize));  // a plain directory
  }

  const uint32_t declared = read_u16(s);
  if (declared > kMaxMakerNoteEntries) return;
  const uint32_t entries = EntriesInFile(s, declared);
  const bool nikon = std::strstr(s.shot.make, "NIKON") != nullptr;
  const bool pentax = std::strstr(s.shot.make, "PENTAX") != nullptr;
  // Sub-directories already walked from this note: a note whose entries all
  // point at one sub-directory reads it once.
  std::vector<int64_t> subdirectories;

  for (uint32_t i = 0; i < entries; ++i) {
    const TiffEntry e = ReadTiffEntry(s, base);
    uint32_t tag = (upper_tag << 16) | e.tag;
    if (pentax && tag == 0x001B) tag = 0x1018;
    if (pentax && tag == 0x001C) tag = 0x1017;

    switch (tag) {
      case tag::kNoteIso:
        if (nikon) {
          read_u16(s);
          s.shot.iso_speed = read_u16(s);
        }
        break;
      case tag::kNotePreviewLength:
        // Later Pentax bodies: the preview's length (its start is 0x0004).
        if (later == LaterNoteHeader::kPentax && e.type == 4)
          ClaimPreview(s, PreviewClaim().Length(read_u32(s)));
        break;
      case tag::kNoteShotInfo:
        if (e.count >= 27 && e.count <= 34) {
          ReadShotInfo(s);
        } else if (later == LaterNoteHeader::kPentax && e.type == 4) {
          // Later Pentax bodies: the preview's start, from the note's start.
          ClaimPreview(s, PreviewClaim().Offset(FileOffset(base + read_u32(s))));
        }
        break;
      case tag::kNoteShotOrder:
        if (e.type == 4) s.shot.shot_order = read_u32(s);
        break;
      case tag::kNoteOwnerName:
        if (std::strcmp(s.shot.make, "Canon") == 0)
          s.input.Read(s.shot.artist, sizeof s.shot.artist);
        break;
      case tag::kNoteUniqueId:
        if (e.type == 4) s.shot.unique_id = read_u32(s);
        break;
      case tag::kNotePreviewDirectory:
        if (s.raw.raw_count != 0 && std::strncmp(s.shot.make, "NIKON", 5) == 0) {
          // The Nikon preview directory: one more image record.
          s.input.Seek(base + read_u32(s));
          ParseTiffDirectory(s, base, "MakerNote PreviewIFD");
        }
        break;
      case tag::kNoteModel:
        if (e.type == 2 && s.raw.raw_count != 0) s.input.Read(s.shot.model, sizeof s.shot.model);
        break;
      case tag::kNoteRawOrPreview:
        if (e.type == 4) {
          // Raw data location; the raw size lies 41 bytes into the data.
          s.raw.raw_data_offset = read_u32(s);
          s.input.Seek(static_cast<int64_t>(s.raw.raw_data_offset) + 41);
          s.raw.raw_height = read_u16(s);
          s.raw.raw_width = read_u16(s);
        }
        if (e.type == 7) {
          ClaimPreview(s, PreviewClaim().Place(static_cast<uint32_t>(e.value_at), e.count));
        }
        break;
      case tag::kNotePreviewData:
        if (e.type == 7) {
          ClaimPreview(s, PreviewClaim().Place(static_cast<uint32_t>(e.value_at), e.count));
        }
        break;
      case tag::kNotePreviewBytes:
        if (e.type == 1) {
          ClaimPreview(s, PreviewClaim().Place(static_cast<uint32_t>(e.value_at), e.count));
        }
        break;
      case tag::kNotePreviewStart:
        if (e.type == 4) {
          const uint32_t offset = read_u32(s);
          ClaimPreview(s, PreviewClaim().Offset(offset == 0 ? 0 : FileOffset(offset + base)));
        }
        break;
      case tag::kNotePreviewLength2:
        if (e.type == 4) ClaimPreview(s, PreviewClaim().Length(read_u32(s)));
        break;
      case tag::kNoteShotNumbers:
        if (e.count == 3) {
          read_u32(s);
          s.shot.shot_order = read_u32(s);
        }
        break;
      case tag::kNoteCaptureNote:
        ReadCaptureNote(s, e.count);
        break;
      case tag::kNoteCameraSettings:
        SeekSubdirectory(s, e, base);
        ParsePreviewNote(s, base, tag::kCameraSettingsPreviewStart,
                         tag::kCameraSettingsPreviewLength);
        break;
      case kOlympusSubdirectoryTag: {
        SeekSubdirectory(s, e, base);
        const int64_t at = s.input.Tell();
        if (std::find(subdirectories.begin(), subdirectories.end(), at) != subdirectories.end())
          break;
        subdirectories.push_back(at);
        // Inside, every tag is read as 0x2040xxxx, so a nested 0x2040 entry
        // does not recurse again.
        ParseMakerNote(s, base, kOlympusSubdirectoryTag);
        break;
      }
      case tag::kNoteMinoltaPreview:
        s.input.Seek(read_u32(s));
        ParsePreviewNote(s, base, tag::kMinoltaPreviewStart, tag::kMinoltaPreviewLength);
        break;
      default:
        // Colour and serial-number records, white-balance tables and the
        // rest: nothing of the preview or the description.
        break;
    }
    s.input.Seek(e.resume);
  }
}

void ParsePreviewNote(ParseState& s, int64_t base, uint32_t offset_tag, uint32_t length_tag) {
  const uint32_t entries = EntriesInFile(s, read_u16(s));
  for (uint32_t i = 0; i < entries; ++i) {
    const TiffEntry e = ReadTiffEntry(s, base);
    if (e.tag == offset_tag) ClaimPreview(s, PreviewClaim().Offset(FileOffset(read_u32(s) + base)));
    if (e.tag == length_tag) ClaimPreview(s, PreviewClaim().Length(read_u32(s)));
    s.input.Seek(e.resume);
  }
}

void ParseKodakDirectory(ParseState& s, int64_t base) {
  const uint32_t declared = read_u16(s);
  if (declared > kMaxKodakEntries) return;
  const uint32_t entries = EntriesInFile(s, declared);
  for (uint32_t i = 0; i < entries; ++i) {
    const TiffEntry e = ReadTiffEntry(s, base);
    if (e.tag == tag::kKodakIso) s.shot.iso_speed = static_cast<float>(read_int(s, e.type));
    if (e.tag == tag::kKodakLinearization) SkipLinearizationTable(s, e.count);
    // 1020, 1021, 2118, 2130-2140: white balance, colour only.
    s.input.Seek(e.resume);
  }
}

}  // namespace engine
