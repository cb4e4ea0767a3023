// TIFF and Exif directories and the choice of raw image and preview.
//
// A camera file is read as a TIFF structure at a base offset: a chain of image
// directories (with sub-directories, the Exif directory and the maker note
// hanging off them). Every directory that describes an image becomes an
// IfdRecord; once the walk is over, the largest image that is not a colour
// JPEG is taken as the raw image and the best of the rest as the preview.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/byte_order.h"
#include "engine/jpeg_markers.h"
#include "engine/limits.h"
#include "engine/parsers.h"
#include "engine/tags.h"

namespace engine {

namespace {

// Bytes of one directory entry in the file.
constexpr int64_t kEntrySize = 12;
// Longest text kept from a line-valued tag (the fields hold 64 bytes).
constexpr size_t kLineFieldSize = 64;
// The bits per sample taken for a preview located before the image
// directories are compared (by a maker note, say) whose JPEG header cannot
// be read.
constexpr uint32_t kUnreadPreviewBits = 16;

// TIFF magics of makers' own variants, as 16-bit values in the file's order.
constexpr uint16_t kPanasonicMagic = 0x55;
constexpr uint16_t kOlympusMagic = 0x4F52;   // "RO" little-endian
constexpr uint16_t kOlympusMagic2 = 0x5352;  // "RS" little-endian

// Counts one more level of TIFF nesting for the lifetime of the object.
class NestingGuard {
 public:
  explicit NestingGuard(ParseState& s) : s_(s) { ++s_.tiff_nesting; }
  ~NestingGuard() { --s_.tiff_nesting; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

 private:
  ParseState& s_;
};

// A text value read as a line: at most size - 1 bytes, ending after a newline
// or at the end of the file, always NUL-terminated. Bytes of the field after
// the terminator keep what they held.
void ReadLine(ParseState& s, char* field, size_t size) {
  size_t length = 0;
  while (length + 1 < size) {
    const int c = s.input.Get();
    if (c < 0) break;
    field[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  field[length] = 0;
}

// Copies exactly n bytes of the file into a field, without termination; bytes
// the file does not have keep what they held.
void ReadRawBytes(ParseState& s, char* field, size_t n) {
  s.input.Read(field, n);
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Software tags of raw converters: a file written by one is a converted
// image, not camera raw data. The second prefix is a converter's name given
// as its bytes.
bool NamesConverter(const char* software) {
  static const char kPrefixConverter[] = {0x64, 0x63, 0x72, 0x61, 0x77, 0};
  return std::strncmp(software, "Adobe", 5) == 0 ||
         std::strncmp(software, kPrefixConverter, 5) == 0 ||
         std::strncmp(software, "Bibble", 6) == 0 ||
         std::strncmp(software, "Nikon Scan", 10) == 0 ||
         std::strcmp(software, "Digital Photo Professional") == 0;
}

// The Imacon private block (tag 46279): geometry, white balance and rotation
// of an Ixpress back.
void ReadImaconBlock(ParseState& s) {
  s.input.SeekRelative(78);
  const uint32_t raw_width = read_u32(s);
  const uint32_t raw_height = read_u32(s);
  s.raw.raw_width = static_cast<uint16_t>(raw_width);
  s.raw.raw_height = static_cast<uint16_t>(raw_height);
  const uint32_t left = read_u32(s) & 7;
  const uint32_t right = read_u32(s) & 7;
  const uint32_t top = read_u32(s) & 7;
  const uint32_t bottom = read_u32(s) & 7;
  s.raw.image_width = static_cast<uint16_t>(raw_width - left - right);
  s.raw.image_height = static_cast<uint16_t>(raw_height - top - bottom);
  if (raw_width == 7262) {
    s.raw.image_width = 7244;
    s.raw.image_height = 5444;
  }
  s.input.SeekRelative(52);
  // Three float multipliers, of which the first is kept; the rotation lies
  // 114 bytes after them.
  s.raw.first_camera_multiplier = static_cast<float>(read_real(s, 11));
  read_u32(s);
  read_u32(s);
  s.input.SeekRelative(114);
  s.shot.orientation = (read_u16(s) >> 7) * 90;
  const int64_t pixels = static_cast<int64_t>(s.raw.image_width) * s.raw.image_height;
  if (pixels * 6 == static_cast<int64_t>(s.raw.imacon_data_length)) {
    if (s.shot.orientation % 180 == 90) std::swap(s.raw.image_width, s.raw.image_height);
    s.shot.orientation = 0;
    s.raw.filter_pattern = 0;
  }
  std::snprintf(s.shot.model, sizeof s.shot.model, "Ixpress %d-Mp",
                static_cast<int>(pixels / 1000000));
  s.raw.raw_decoder = RawDecoder::Imacon;
}

// The data of a record as the preview: compression picks the kind. JPEG and
// the rest (Kodak's 65000, a deeper uncompressed image) state none, keeping
// the kind earlier claims gave (Jpeg when none did).
void ClaimPreviewKind(PreviewClaim& claim, const IfdRecord& record) {
  if (record.compression == 0)
    claim.Kind(PreviewKind::Layered);
  else if (record.compression == 1 && record.bits_per_sample <= 8)
    claim.Kind(PreviewKind::PackedRgb);
}

// The raw decoder that would read the raw record's data.
void ChooseRawDecoder(ParseState& s, const IfdRecord& raw) {
  switch (s.raw.compression) {
    case 0:
    case 1: {
      switch (s.raw.bits_per_sample) {
        case 8:
          s.raw.raw_decoder = RawDecoder::Eight_bit;
          break;
        case 12:
          s.raw.raw_decoder =
              StartsWith(s.shot.make, "PENTAX") ? RawDecoder::Unpacked : RawDecoder::Packed12;
          break;
        case 14:
        case 16:
          s.raw.raw_decoder = RawDecoder::Unpacked;
          break;
        default:
          break;
      }
      const int64_t packed_bytes = static_cast<int64_t>(raw.byte_count) * 5;
      const int64_t pixel_bits = static_cast<int64_t>(s.raw.raw_width) * s.raw.raw_height * 8;
      if (packed_bytes == pixel_bits) s.raw.raw_decoder = RawDecoder::E300Packed;
      if (s.raw.bits_per_sample == 12 && raw.photometric == 2)
        s.raw.raw_decoder = RawDecoder::Rgb12Layout;
      break;
    }
    case 6:
    case 7:
    case 99:
      s.raw.raw_decoder = RawDecoder::LosslessJpeg;
      break;
    case 262:
      s.raw.raw_decoder = RawDecoder::Kodak262;
      break;
    case 32769:
      s.raw.raw_decoder = RawDecoder::Packed32769;
      break;
    case 32773:
      s.raw.raw_decoder = RawDecoder::Packed12;
      break;
    case 32867:
    case 34713:
      break;  // the Nikon decoders are chosen by camera later
    case 65000:
      switch (raw.photometric) {
        case 2:
          s.raw.raw_decoder = RawDecoder::KodakRgb;
          s.raw.filter_pattern = 0;
          break;
        case 6:
          s.raw.raw_decoder = RawDecoder::KodakYcbcr;
          s.raw.filter_pattern = 0;
          break;
        case 32803:
          s.raw.raw_decoder = RawDecoder::Kodak65000;
          break;
        default:
          break;
      }
      break;
    case 65535:
      s.raw.raw_decoder = RawDecoder::Decoder65535;
      break;
    default: {
      // Later cameras: the compressions they introduced hold raw data.
      const RawDecoder later = RawDecoderOfLaterCompression(s, s.raw.compression);
      if (later != RawDecoder::None) {
        s.raw.raw_decoder = later;
        break;
      }
      MarkNotRaw(s, NoPreviewReason::kNoRawImage);
      break;  // a compression no decoder reads
    }
  }
}

// Place names as metadata readers give them: IFD0, IFD1... along the chain;
// SubIFD, SubIFD1, SubIFD2... for the sub-directories of one directory.
std::string ChainDirectoryName(uint32_t index) {
  return "IFD" + std::to_string(index);
}
std::string SubdirectoryName(uint32_t index) {
  return index == 0 ? "SubIFD" : "SubIFD" + std::to_string(index);
}

// What a directory's image data is, as its compression says: JPEG streams are
// told by their own markers later; 0 (unset) may be a JPEG described by its
// own header.
ImageKind DirectoryImageKind(const IfdRecord& record) {
  switch (record.compression) {
    case 0:
    case 6:
    case 7:
      return ImageKind::kJpeg;
    case 1:
      return ImageKind::kBitmap;
    default:
      return IsJpegXlImage(record) ? ImageKind::kJpegXl : ImageKind::kOther;
  }
}

// Every directory of this parse that describes image data, but the raw image,
// goes into the list of embedded images. A raw image whose data lies past the
// end of the file marks the file as cut short.
void NoteDirectoryImages(ParseState& s, uint32_t records, int raw_index) {
  for (uint32_t i = 0; i < records; ++i) {
    const IfdRecord& r = s.ifd_table[i];
    if (static_cast<int>(i) == raw_index) {
      if (r.offset != 0)
        NeedPosition(s, static_cast<int64_t>(static_cast<uint32_t>(r.offset)) +
                            std::max<int64_t>(r.byte_count, 1) - 1);
      continue;
    }
    if (r.where[0] == 0 || r.offset == 0 || r.byte_count <= 0) continue;
    NoteImage(s, r.where, static_cast<uint32_t>(r.offset), static_cast<uint32_t>(r.byte_count),
              DirectoryImageKind(r), static_cast<uint32_t>(std::max(r.width, 0)),
              static_cast<uint32_t>(std::max(r.height, 0)));
  }
}

bool AlreadyEntered(const ParseState& s, int64_t position) {
  const auto& seen = s.tiff_directories_entered;
  return std::find(seen.begin(), seen.end(), position) != seen.end();
}

// Records where the Exif or GPS directory of the file's own description lies:
// only for a pointer of the recorded IFD0 itself (not of a sub-directory, a
// maker note or a nested TIFF), and only the first time.
void RecordDescriptionDirectory(ParseState& s, int64_t pointing_directory, int64_t base,
                                int64_t position, DirectoryLocation* location) {
  const DirectoryLocation& ifd0 = s.found.metadata_directories.ifd0;
  if (location->present() || !ifd0.present() || ifd0.offset != pointing_directory ||
      ifd0.base != base)
    return;
  *location = DirectoryLocation{base, position, s.byte_order};
}

}  // namespace

uint32_t FileOffset(int64_t position) {
  return position >= 0 && position <= 0xFFFFFFFF ? static_cast<uint32_t>(position) : 0xFFFFFFFF;
}

uint32_t EntriesInFile(ParseState& s, uint32_t declared) {
  const int64_t left = s.input.Size() - s.input.Tell();
  if (left <= 0) return 0;
  const int64_t fit = (left + kEntrySize - 1) / kEntrySize;
  return static_cast<uint32_t>(std::min<int64_t>(declared, fit));
}

// Element size by type; type 13 (IFD) is a 4-byte offset as in TIFF itself.
uint32_t TiffTypeSize(uint32_t type) {
  return "11124811248484"[type < 14 ? type : 0] - '0';
}

TiffEntry ReadTiffEntry(ParseState& s, int64_t base) {
  TiffEntry e;
  e.tag = read_u16(s);
  e.type = read_u16(s);
  e.count = read_u32(s);
  e.resume = s.input.Tell() + 4;
  // The value's size in 64 bits: a count near 2^32 times the type's size must
  // not wrap around to a small inline value.
  if (static_cast<uint64_t>(e.count) * TiffTypeSize(e.type) > 4) s.input.Seek(base + read_u32(s));
  e.value_at = s.input.Tell();
  return e;
}

bool probe_jpeg_header(ParseState& s, JpegFrameHeader* frame) {
  *frame = JpegFrameHeader{};
  s.input.Get();  // the first byte is not looked at
  if (s.input.Get() != kStartOfImage) return false;
  // Every segment moves the position forward by at least four bytes, and the
  // walk stops at the end of the file, so it ends on any input.
  for (;;) {
    if (s.input.AtEnd()) return false;
    const JpegSegmentHeader header = ReadJpegSegmentHeader(s.input);
    if (header.bytes_read < 4) return false;
    // No fill bytes, no markers without a length, no code 00 (a stuffed byte).
    if (header.prefix != kMarkerPrefix || header.code == 0 || header.length < 2) return false;
    const int64_t body_start = s.input.Tell();
    const int64_t body_length = header.length - 2;
    if (body_start + body_length > s.input.Size()) return false;  // segment cut by the end
    if (IsBaselineOrLosslessFrame(header.code)) {
      uint8_t fields[kFrameFieldsLength] = {};
      s.input.Read(fields, static_cast<size_t>(std::min<int64_t>(body_length, sizeof fields)));
      *frame = DecodeJpegFrameHeader(fields);
      s.input.Seek(body_start + body_length);
      // Outside DNG the byte after a one-component frame header (nine bytes
      // of body) is passed over as well, so the next marker is looked for one
      // byte later: whether a JPEG is read to its scan, and so which image
      // becomes the preview, depends on it.
      if (body_length == 9 && s.raw.dng_version == 0) s.input.Get();
    } else {
      s.input.Seek(body_start + body_length);
    }
    if (header.code == kStartOfScan) return true;
  }
}

void ReadExifTimestamp(ParseState& s, bool reversed) {
  char text[20] = {};
  if (reversed) {
    for (int i = 18; i >= 0; --i) text[i] = static_cast<char>(s.input.Get());
  } else {
    s.input.Read(text, 19);
  }
  text[19] = 0;
  int year, month, day, hour, minute, second;
  if (std::sscanf(text, "%d:%d:%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second) < 6)
    return;
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = 0;  // the file's clock is taken as standard time
  const std::time_t local = std::mktime(&t);
  if (local > 0) s.shot.timestamp = static_cast<int64_t>(local);
}

void SkipLinearizationTable(ParseState& s, uint32_t count) {
  // The table feeds only raw decoding. It is read through all the same, so
  // that a table cut short by the end of the file is reported, once.
  const uint32_t words = std::min(count, kLinearizationTableSize);
  uint8_t word[2];
  uint32_t read = 0;
  while (read < words && s.input.Read(word, sizeof word) == sizeof word) ++read;
  if (read < words) ReportDataError(s);
}

void ParseExifDirectory(ParseState& s, int64_t base) {
  const uint32_t entries = EntriesInFile(s, read_u16(s));
  for (uint32_t i = 0; i < entries; ++i) {
    const TiffEntry e = ReadTiffEntry(s, base);
    switch (e.tag) {
      case tag::kExposureTime:
        s.shot.shutter = static_cast<float>(read_real(s, 10));
        break;
      case tag::kFNumber:
        s.shot.aperture = static_cast<float>(read_real(s, 10));
        break;
      case tag::kIsoSpeed:
        s.shot.iso_speed = read_u16(s);
        break;
      case tag::kDateTimeOriginal:
      case tag::kDateTimeDigitized:
        ReadExifTimestamp(s, false);
        break;
      case tag::kShutterSpeedValue: {
        const double value = read_real(s, 10);
        if (-value < 128) s.shot.shutter = static_cast<float>(std::pow(2.0, -value));
        break;
      }
      case tag::kApertureValue:
        s.shot.aperture = static_cast<float>(std::pow(2.0, read_real(s, 10) * 0.5));
        break;
      case tag::kFocalLength:
        s.shot.focal_length = static_cast<float>(read_real(s, 10));
        break;
      case tag::kMakerNote:
        ParseMakerNote(s, base, 0);
        break;
      case tag::kPixelXDimension:
        if (StartsWith(s.shot.make, "EASTMAN"))
          s.raw.raw_width = static_cast<uint16_t>(read_u32(s));
        break;
      case tag::kPixelYDimension:
        if (StartsWith(s.shot.make, "EASTMAN"))
          s.raw.raw_height = static_cast<uint16_t>(read_u32(s));
        break;
      default:
        break;  // CFAPattern (41730) feeds colour only
    }
    s.input.Seek(e.resume);
  }
}

int ParseTiffDirectory(ParseState& s, int64_t base, const char* where) {
  if (s.ifd_count >= static_cast<uint32_t>(kIfdTableSize)) return 1;
  // A directory already entered in this parse means the structure points
  // back into itself: walking it again would only repeat what was read.
  const int64_t start = s.input.Tell();
  if (AlreadyEntered(s, start)) return 1;
  s.tiff_directories_entered.push_back(start);
  NeedPosition(s, start);
  uint32_t index = s.ifd_count++;
  SetText(s.ifd_table[index].where, where);

  const uint32_t entries = read_u16(s);
  if (entries > kMaxDirectoryEntries) return 1;
  // A directory whose entries run past the end was cut short with the file.
  NeedPosition(s, start + 2 + static_cast<int64_t>(entries) * kEntrySize - 1);
  for (uint32_t i = 0; i < entries; ++i) {
    const TiffEntry e = ReadTiffEntry(s, base);
    IfdRecord& record = s.ifd_table[index];
    switch (e.tag) {
      case tag::kPanasonicCompression:
      case tag::kPanasonicJpgFromRaw:
        // Later cameras: Panasonic's own tags in its TIFF variant.
        ReadPanasonicEntry(s, e, record);
        break;
      case tag::kNewSubfileType:
        record.subfile_type = read_int(s, e.type);
        break;
      case tag::kPanasonicSensorWidth:
      case tag::kImageWidth:
        record.width = static_cast<int32_t>(read_int(s, e.type));
        break;
      case tag::kPanasonicSensorHeight:
      case tag::kImageHeight:
        record.height = static_cast<int32_t>(read_int(s, e.type));
        break;
      case tag::kPanasonicIso:
        if (e.type == 3) s.shot.iso_speed = read_u16(s);
        break;
      case tag::kBitsPerSample:
        record.samples = static_cast<int32_t>(e.count & 7);
        record.bits_per_sample = read_u16(s);
        break;
      case tag::kCompression:
        record.compression = read_u16(s);
        break;
      case tag::kPhotometric:
        record.photometric = read_u16(s);
        break;
      case tag::kImageDescription:
        ReadRawBytes(s, s.shot.description, sizeof s.shot.description);
        break;
      case tag::kMake:
        ReadLine(s, s.shot.make, kLineFieldSize);
        break;
      case tag::kModel:
        ReadLine(s, s.shot.model, kLineFieldSize);
        break;
      case tag::kStripOffsets:
      case tag::kJpegOffset: {
        const int64_t offset = base + read_u32(s);
        record.offset = static_cast<int32_t>(FileOffset(offset));
        if (record.bits_per_sample == 0) {
          // No BitsPerSample so far: the data may be a JPEG that describes itself.
          s.input.Seek(offset);
          JpegFrameHeader jpeg;
          if (probe_jpeg_header(s, &jpeg)) {
            record.compression = 6;
            record.width = jpeg.components == 2 ? jpeg.width * 2 : jpeg.width;
            record.height = jpeg.height;
            record.bits_per_sample = jpeg.precision;
            record.samples = jpeg.components;
          }
        }
        break;
      }
      case tag::kOrientation:
        record.orientation = OrientationCodeFromTiff(read_u16(s));
        break;
      case tag::kSamplesPerPixel:
        record.samples = static_cast<int32_t>(read_int(s, e.type) & 7);
        break;
      case tag::kStripByteCounts:
      case tag::kJpegLength:
        record.byte_count = static_cast<int32_t>(read_u32(s));
        break;
      case tag::kGrayResponseCurve:
      case tag::kLinearizationTable:
        SkipLinearizationTable(s, e.count);
        break;
      case tag::kSoftware: {
        char software[kLineFieldSize] = {};
        ReadLine(s, software, sizeof software);
        if (NamesConverter(software)) MarkNotRaw(s, NoPreviewReason::kConvertedFile);
        break;
      }
      case tag::kDateTime:
        ReadExifTimestamp(s, false);
        break;
      case tag::kArtist:
        ReadRawBytes(s, s.shot.artist, sizeof s.shot.artist);
        break;
      case tag::kTileOffsets:
        record.offset = static_cast<int32_t>(e.count > 1 ? s.input.Tell() : read_u32(s));
        if (e.count == 4) {
          s.raw.raw_decoder = RawDecoder::SinarFourShot;
          s.raw.raw_count = 5;
        }
        break;
      case tag::kSubIfds:
        if (std::strcmp(s.shot.model, "DSLR-A100") == 0 && record.width == 3872) {
          // This camera writes its raw data offset here, and the entries
          // after it describe another image.
          s.raw.raw_data_offset = FileOffset(base + read_u32(s));
          if (index + 1 < static_cast<uint32_t>(kIfdTableSize)) ++index;
          break;
        }
        // Every sub-directory takes a table record, and a full table or an
        // entered directory stops the list, so it ends after at most ten.
        for (uint32_t k = 0; k < e.count; ++k) {
          const int64_t at = s.input.Tell();
          s.input.Seek(base + read_u32(s));
          if (ParseTiffDirectory(s, base, SubdirectoryName(k).c_str())) break;
          s.input.Seek(at + 4);
        }
        break;
      case tag::kSarnoffMark:
        SetText(s.shot.make, "Sarnoff");
        break;
      case tag::kModel2:
        ReadLine(s, s.shot.model2, kLineFieldSize);
        break;
      case tag::kKodakDirectory:
        s.input.Seek(base + read_u32(s));
        ParseKodakDirectory(s, base);
        break;
      case tag::kExposureTime:
        s.shot.shutter = static_cast<float>(read_real(s, 10));
        break;
      case tag::kFNumber:
        s.shot.aperture = static_cast<float>(read_real(s, 10));
        break;
      case tag::kLeafMark:
        SetText(s.shot.make, "Leaf");
        break;
      case tag::kLeafPackets:
        ParseMosPackets(s, static_cast<uint32_t>(s.input.Tell()));
        SetText(s.shot.make, "Leaf");
        break;
      case tag::kExifPointer: {
        const int64_t exif = base + read_u32(s);
        NeedPosition(s, exif);
        RecordDescriptionDirectory(s, start, base, exif, &s.found.metadata_directories.exif);
        s.input.Seek(exif);
        ParseExifDirectory(s, base);
        break;
      }
      case tag::kGpsPointer:
        RecordDescriptionDirectory(s, start, base, base + read_u32(s),
                                   &s.found.metadata_directories.gps);
        break;
      case tag::kFocalLength:
        s.shot.focal_length = static_cast<float>(read_real(s, 10));
        break;
      case tag::kImageNumber:
        s.shot.shot_order = read_int(s, e.type);
        break;
      case tag::kImaconRawData:
        SetText(s.shot.make, "Imacon");
        s.raw.raw_data_offset = static_cast<uint32_t>(s.input.Tell());
        s.raw.imacon_data_length = e.count;
        break;
      case tag::kImaconBlock:
        ReadImaconBlock(s);
        break;
      case tag::kEmbeddedTiff: {
        // A complete TIFF header of its own; its directory is read, then
        // forgotten as a record.
        const int64_t header = s.input.Tell();
        const uint16_t saved_order = s.byte_order;
        const uint32_t saved_count = s.ifd_count;
        s.byte_order = read_u16(s);
        read_u16(s);
        s.input.Seek(header + read_u32(s));
        ParseTiffDirectory(s, header, "");
        s.ifd_count = saved_count;
        s.byte_order = saved_order;
        break;
      }
      case tag::kDngVersion: {
        // Four bytes, first the major version, whatever the file's order.
        uint8_t version[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        s.input.Read(version, 4);
        s.raw.dng_version = LoadBigEndian32(version);
        break;
      }
      case tag::kCfaLayout:
        if (read_u16(s) == 2) {
          s.raw.fuji_rotated_width = 1;
          s.raw.filter_pattern = 0x49494949;
        }
        break;
      case tag::kDngPrivateData: {
        if (s.raw.dng_version != 0) break;
        // Private data of a non-DNG file: a Minolta block list, then a
        // directory at the same place.
        const int64_t blocks = base + read_u32(s);
        if (blocks <= 0xFFFFFFFF) {
          const uint16_t saved_order = s.byte_order;
          ParseMinoltaBlocks(s, static_cast<uint32_t>(blocks));
          s.byte_order = saved_order;
        }
        s.input.Seek(blocks);
        ParseTiffDirectory(s, base, "DNGPrivateData");
        break;
      }
      case tag::kActiveArea: {
        // ActiveArea: top, left, bottom, right.
        const uint32_t top = read_int(s, e.type);
        const uint32_t left = read_int(s, e.type);
        const uint32_t bottom = read_int(s, e.type);
        const uint32_t right = read_int(s, e.type);
        s.raw.image_height = static_cast<uint16_t>(bottom - top);
        s.raw.image_width = static_cast<uint16_t>(right - left);
        break;
      }
      case tag::kSinarRawData: {
        s.input.SeekRelative(16);
        uint32_t offset = read_u32(s);
        s.input.SeekRelative(28);
        offset += read_u32(s);
        s.raw.raw_data_offset = offset;
        s.raw.raw_decoder = RawDecoder::Packed12;
        break;
      }
      default:
        // Colour, level, tiling and pixel-aspect tags, the colour profiles
        // and the Sony private block: they feed only raw decoding and the
        // colour pipeline, which never run here.
        break;
    }
    s.input.Seek(e.resume);
  }
  return 0;
}

void ParseTiff(ParseState& s, int64_t base) {
  if (s.tiff_nesting >= kMaxTiffNesting) return;
  if (s.tiff_nesting == 0) s.tiff_directories_entered.clear();
  NestingGuard nesting(s);

  s.input.Seek(base);
  s.byte_order = read_u16(s);
  if (s.byte_order != kLittleEndianMark && s.byte_order != kBigEndianMark) return;
  // The magic is not checked: several makers write their own. Panasonic's
  // 0x55 marks an RW2 or RWL file (rules for later cameras).
  const uint16_t magic = read_u16(s);
  if (s.tiff_nesting == 1 && magic == kPanasonicMagic) s.found.panasonic_tiff = true;
  // Magics of makers' own TIFF variants name the camera's maker by
  // themselves (ORF's "RO" and "RS", RW2's 0x55).
  if (s.tiff_nesting == 1 &&
      (magic == kOlympusMagic || magic == kOlympusMagic2 || magic == kPanasonicMagic))
    s.found.container_names_camera = true;
  for (IfdRecord& record : s.ifd_table) record = IfdRecord{};
  s.ifd_count = 0;

  // The chain ends on an offset of 0, a full table, or a directory seen before.
  uint32_t chain_index = 0;
  for (uint32_t offset = read_u32(s); offset != 0; offset = read_u32(s)) {
    // The first directory of the outermost structure holds the file's own
    // description (a TIFF nested in it, such as private data, does not).
    if (s.tiff_nesting == 1 && !s.found.metadata_directories.ifd0.present())
      s.found.metadata_directories.ifd0 = DirectoryLocation{base, base + offset, s.byte_order};
    s.input.Seek(base + offset);
    if (ParseTiffDirectory(s, base, ChainDirectoryName(chain_index++).c_str())) break;
  }

  // Bits per sample of the preview so far, which weigh in its choice below.
  uint32_t preview_bits = kUnreadPreviewBits;
  RulesPreview current = RulesChoice(s);
  if (current.offset != 0) {
    s.input.Seek(current.offset);
    JpegFrameHeader jpeg;
    if (probe_jpeg_header(s, &jpeg)) {
      preview_bits = static_cast<uint32_t>(jpeg.precision);
      current.width = static_cast<uint16_t>(jpeg.width);
      current.height = static_cast<uint16_t>(jpeg.height);
      ClaimPreview(s, PreviewClaim().Size(current.width, current.height));
    }
  }

  const uint32_t records = std::min<uint32_t>(s.ifd_count, kIfdTableSize);
  int32_t max_samples = 0;
  for (uint32_t i = 0; i < records; ++i)
    max_samples = std::max(max_samples, s.ifd_table[i].samples);

  // Raw choice: the largest image that is not a colour JPEG.
  int raw_index = -1;
  for (uint32_t i = 0; i < records; ++i) {
    const IfdRecord& r = s.ifd_table[i];
    if (r.compression == 6 && r.samples == 3) continue;
    if (!CanBeRawImage(s, r)) continue;  // later cameras: a DNG's reduced copy
    const int64_t area = static_cast<int64_t>(r.width) * r.height;
    if (area <= static_cast<int64_t>(s.raw.raw_width) * s.raw.raw_height) continue;
    s.raw.raw_width = static_cast<uint16_t>(r.width);
    s.raw.raw_height = static_cast<uint16_t>(r.height);
    s.raw.bits_per_sample = static_cast<uint32_t>(r.bits_per_sample);
    s.raw.compression = static_cast<uint32_t>(r.compression);
    s.raw.raw_data_offset = static_cast<uint32_t>(r.offset);
    s.tiff_orientation = r.orientation;
    s.raw.samples_per_pixel = static_cast<uint32_t>(r.samples);
    raw_index = static_cast<int>(i);
  }
  const IfdRecord no_record{};
  const IfdRecord& raw = raw_index >= 0 ? s.ifd_table[raw_index] : no_record;

  s.raw.fuji_rotated_width =
      static_cast<uint16_t>(s.raw.fuji_rotated_width * ((s.raw.raw_width + 1) / 2));
  if (records > 0 && s.ifd_table[0].orientation != 0)
    s.tiff_orientation = s.ifd_table[0].orientation;

  if (raw_index >= 0 && s.raw.raw_decoder == RawDecoder::None) ChooseRawDecoder(s, raw);

  // Ordinary images: an RGB image with its data present, or 8-bit greyscale.
  if (s.raw.dng_version == 0) {
    if (s.raw.samples_per_pixel == 3 && raw.byte_count != 0 && s.raw.bits_per_sample != 14 &&
        s.raw.bits_per_sample != 2048)
      MarkNotRaw(s, NoPreviewReason::kOrdinaryImage);
    if (s.raw.bits_per_sample == 8 && s.raw.compression == 1 && raw.photometric == 1)
      MarkNotRaw(s, NoPreviewReason::kOrdinaryImage);
  }

  // Preview choice among the images with the most samples per pixel, counting
  // at most three: a raw image stored as a four-component lossless JPEG must
  // not hide the colour previews beside it. Bits per sample weigh heavily, so
  // an 8-bit JPEG beats a 16-bit image of the same size.
  const int32_t preview_samples = std::min(max_samples, 3);
  int preview_index = -1;
  for (uint32_t i = 0; i < records; ++i) {
    if (static_cast<int>(i) == raw_index) continue;
    const IfdRecord& r = s.ifd_table[i];
    if (r.samples != preview_samples) continue;
    // Later cameras: a JPEG XL preview is no JPEG; the largest JPEG wins.
    if (IsJpegXlImage(r)) {
      s.found.jpeg_xl_preview_skipped = true;
      continue;
    }
    const int64_t bits = std::max<int64_t>(static_cast<int64_t>(r.bits_per_sample) + 1, 1);
    const int64_t score = static_cast<int64_t>(r.width) * r.height / (bits * bits);
    const int64_t current_bits = static_cast<int64_t>(preview_bits) + 1;
    const int64_t current_score =
        static_cast<int64_t>(current.width) * current.height / (current_bits * current_bits);
    if (score <= current_score) continue;
    current.width = static_cast<uint16_t>(r.width);
    current.height = static_cast<uint16_t>(r.height);
    preview_bits = static_cast<uint32_t>(r.bits_per_sample);
    preview_index = static_cast<int>(i);
  }
  if (preview_index >= 0) {
    // The best directory is this structure's claim.
    const IfdRecord& r = s.ifd_table[preview_index];
    PreviewClaim claim;
    claim.Size(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height))
        .Place(static_cast<uint32_t>(r.offset), static_cast<uint32_t>(r.byte_count));
    ClaimPreviewKind(claim, r);
    ClaimPreview(s, claim);
  }
  NoteDirectoryImages(s, records, raw_index);
}

}  // namespace engine
