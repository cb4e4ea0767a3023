// The embedded JPEG preview, with a synthesized Exif segment when it has none.
//
// The preview bytes are copied as stored. One allocation is made larger than
// the preview by the Exif segment to insert after the start-of-image marker
// (1146 bytes for the compact block; the complete segment, built first, by
// its own size), or exactly its size when the preview has Exif of its own.
#include "engine/extract.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/byte_order.h"
#include "engine/exif_copy.h"
#include "engine/jpeg_markers.h"
#include "engine/limits.h"
#include "engine/parsers.h"
#include "engine/tags.h"

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
  explicit BlockWriter(uint8_t* block) : block_(block), order_(HostByteOrder()) {}

  void U16(size_t at, uint16_t v) { Store16(block_ + at, v, order_); }
  void U32(size_t at, uint32_t v) { Store32(block_ + at, v, order_); }
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
  uint16_t order_;
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

// Where an embedded image lies in the file, as its container states it.
struct ImagePlace {
  uint64_t offset = 0;
  uint64_t length = 0;
};

ImagePlace RulesPlace(const RulesPreview& preview) {
  return ImagePlace{preview.offset, preview.length};
}

// Why the file, by the rules of its container, gives no JPEG preview; kNone
// when the container's preview fields name one. With `accept_converted` a
// file written by a raw converter is judged by its preview alone.
NoPreviewReason RefusalByRules(const ParseState& s, const RulesPreview& preview,
                               bool accept_converted) {
  const bool converted_taken =
      accept_converted && s.found.not_raw_reason == NoPreviewReason::kConvertedFile;
  if (!s.raw.raw_count && !converted_taken) {
    if (s.found.plain_jpeg) return NoPreviewReason::kPlainJpeg;
    return s.found.not_raw_reason != NoPreviewReason::kNone ? s.found.not_raw_reason
                                                            : NoPreviewReason::kNoRawImage;
  }
  if (!preview.offset || !preview.length) {
    if (s.found.plain_jpeg) return NoPreviewReason::kPlainJpeg;
    return s.found.jpeg_xl_preview_skipped ? NoPreviewReason::kJpegXlPreviewOnly
                                           : NoPreviewReason::kNoPreview;
  }
  if (preview.kind != PreviewKind::Jpeg) {
    return s.found.jpeg_xl_preview_skipped ? NoPreviewReason::kJpegXlPreviewOnly
                                           : NoPreviewReason::kBitmapPreviewOnly;
  }
  return NoPreviewReason::kNone;
}

// A file that the rules find no raw image or preview in, whose structure ran
// past its end, and whose make or container says a camera wrote it: what was
// missing is what the file lost, so that is the reason given.
NoPreviewReason CutShortOr(const ParseState& s, NoPreviewReason reason) {
  switch (reason) {
    case NoPreviewReason::kNoRawImage:
    case NoPreviewReason::kUnknownContainer:
    case NoPreviewReason::kOrdinaryImage:
    case NoPreviewReason::kNoPreview:
    case NoPreviewReason::kBitmapPreviewOnly:  // the JPEG's directory may be what was lost
      break;
    default:
      return reason;
  }
  if (s.found.needed_past_end && (s.shot.make[0] != 0 || s.found.container_names_camera))
    return NoPreviewReason::kFileCutShort;
  return reason;
}

// How CheckPlace reads a preview's first bytes: into the stream's window,
// where extraction goes on to read the preview's markers, or in a read of
// their own that leaves the window where the walk left it (a description,
// which reads nothing more there).
enum class HeadRead { kIntoWindow, kLookOnly };

// Whether the bytes at `place` can be read as a JPEG preview: the reason they
// cannot, or kNone with their first bytes in `head`.
NoPreviewReason CheckPlace(ParseState& s, ImagePlace place, uint8_t (&head)[kExifProbeLength],
                           HeadRead how = HeadRead::kIntoWindow) {
  // Offsets and lengths come from the file, and the length sizes the
  // allocation: the preview must lie wholly inside the file, and its length
  // be one a camera writes, however large the (perhaps sparse) file is.
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(s.input.Size(), 0));
  if (place.offset > size || place.length > size - place.offset)
    return NoPreviewReason::kPreviewOutsideFile;
  if (!WithinEmbeddedBound(place.length)) return NoPreviewReason::kPreviewTooLarge;
  if (place.length < kMinimumPreviewLength) return NoPreviewReason::kPreviewNotJpeg;
  const int64_t start = static_cast<int64_t>(place.offset);
  size_t got = 0;
  if (how == HeadRead::kIntoWindow) {
    s.input.Seek(start);
    got = s.input.Read(head, sizeof head);
  } else {
    got = s.input.PeekAt(start, head, sizeof head);
  }
  if (got != sizeof head) return NoPreviewReason::kPreviewOutsideFile;
  // The first two bytes become the start-of-image marker whatever was stored
  // there, but a JPEG stream goes on with another marker: anything else (the
  // placeholder text of a stripped file, say) is not a preview at all.
  if (head[2] != 0xFF) return NoPreviewReason::kPreviewNotJpeg;
  return NoPreviewReason::kNone;
}

// The extraction choice: where the container's rules put the preview, or why
// there is none.
NoPreviewReason LocatePreview(ParseState& s, bool accept_converted, ImagePlace* place,
                              uint8_t (&head)[kExifProbeLength],
                              HeadRead how = HeadRead::kIntoWindow) {
  const RulesPreview preview = RulesChoice(s);
  const NoPreviewReason refusal = RefusalByRules(s, preview, accept_converted);
  if (refusal != NoPreviewReason::kNone) return CutShortOr(s, refusal);
  *place = RulesPlace(preview);
  return CheckPlace(s, *place, head, how);
}

// The Exif Orientation value a synthesized header carries.
uint16_t HeaderOrientation(const ShotDescription& s) {
  return static_cast<uint16_t>(ExifOrientationFromCode(OrientationCodeForHeader(s.orientation)));
}

// The preview's pixel size from its frame header, before the preview is
// read; 0 by 0 when it has none. The preview lies wholly in the file, so
// both walks read through the input, whose window already holds the first
// bytes.
void PreviewPixelSize(ParseState& s, ImagePlace place, uint32_t* width, uint32_t* height) {
  *width = *height = 0;
  StreamJpegReader reader(s.input);
  // The markers start after the first two bytes, which the engine writes as
  // SOI whatever is stored.
  const int64_t start = static_cast<int64_t>(place.offset);
  const int64_t markers = start + 2;
  const int64_t probe_end =
      start + static_cast<int64_t>(std::min<uint64_t>(place.length, kFrameProbeLength));
  uint32_t w = 0, h = 0;
  if (FindJpegFrame(reader, markers, probe_end, kLenientFrameWalk, &w, &h) && w > 0 && h > 0) {
    *width = w;
    *height = h;
  } else {
    // Tables or other segments beyond the first bytes: the whole preview,
    // with nothing forgiven.
    FindJpegFrame(reader, markers, start + static_cast<int64_t>(place.length), kStrictFrameWalk,
                  width, height);
  }
}

// Whether the preview carries an Exif segment of its own: at its start, as
// cameras write it, or anywhere else before its scan (after a JFIF segment,
// say). Such a preview keeps its own and gets none in front.
bool PreviewHasOwnExif(ParseState& s, ImagePlace place, const uint8_t (&head)[kExifProbeLength]) {
  if (PreviewHasExifSegment(head)) return true;
  StreamJpegReader reader(s.input);
  const int64_t start = static_cast<int64_t>(place.offset);
  return SurveyJpeg(reader, start + 2, start + static_cast<int64_t>(place.length)).exif;
}

// The complete segment for a preview without Exif of its own: the file's own
// description, with the preview's pixel size from its frame header. Empty
// when the file has no Exif directory of its own (the compact block applies).
std::vector<uint8_t> CompleteExifSegment(ParseState& s, ImagePlace place,
                                         const ExtractOptions& options) {
  const ByteSource* source = s.input.Source();
  if (!source || !s.found.metadata_directories.exif.present()) return {};
  uint32_t width = 0, height = 0;
  PreviewPixelSize(s, place, &width, &height);
  const char* software = options.software.empty() ? kDefaultSoftware : options.software.c_str();
  return BuildCompleteExifSegment(*source, s.found.metadata_directories, HeaderOrientation(s.shot),
                                  width, height, software);
}

// The extracted JPEG's own frame size, from its first frame header of any
// kind; 0 by 0 when none comes before the scan.
void OwnFrameSize(const uint8_t* jpeg, size_t length, int32_t* width, int32_t* height) {
  *width = *height = 0;
  if (length < 4 || jpeg[0] != kMarkerPrefix || jpeg[1] != kStartOfImage) return;
  MemoryJpegReader reader(jpeg, length);
  uint32_t w = 0, h = 0;
  if (FindJpegFrame(reader, 2, static_cast<int64_t>(length), kLenientFrameWalk, &w, &h)) {
    *width = static_cast<int32_t>(w);
    *height = static_cast<int32_t>(h);
  }
}

// The JPEG at `place` (checked by CheckPlace, its first bytes in `head`) as
// one allocation, with an Exif segment in front when it has none.
ExtractedPreview ReadPreview(ParseState& s, ImagePlace place,
                             const uint8_t (&head)[kExifProbeLength],
                             const ExtractOptions& options) {
  ExtractedPreview out;
  const size_t stored = static_cast<size_t>(place.length);

  // A look at the markers decides where the preview goes in the buffer, so
  // that it is read once, straight into place, and never moved to make room
  // for a synthesized Exif segment.
  const bool hasExif = PreviewHasOwnExif(s, place, head);
  std::vector<uint8_t> complete;
  if (!hasExif && options.metadata == MetadataMode::kComplete) {
    try {
      complete = CompleteExifSegment(s, place, options);
    } catch (const std::bad_alloc&) {
      out.reason = NoPreviewReason::kOutOfMemory;
      return out;
    }
  }
  const size_t room = hasExif ? 0 : complete.empty() ? kExifSegmentSize : complete.size();

  JpegBytes buffer(static_cast<uint8_t*>(std::malloc(stored + room)));
  if (!buffer) {
    out.reason = NoPreviewReason::kOutOfMemory;
    return out;
  }
  uint8_t* bytes = buffer.get();
  std::memcpy(bytes + room, head, sizeof head);
  s.input.Seek(static_cast<int64_t>(place.offset + sizeof head));
  if (s.input.Read(bytes + room + sizeof head, stored - sizeof head) != stored - sizeof head) {
    out.reason = NoPreviewReason::kPreviewOutsideFile;  // the file shrank under us
    return out;
  }
  bytes[0] = 0xFF;
  bytes[1] = 0xD8;
  if (!complete.empty()) {
    // The segment ends where the stored bytes after SOI begin.
    std::memcpy(bytes + 2, complete.data(), complete.size());
  } else if (!hasExif) {
    // The stored bytes after SOI sit behind the room for the segment.
    static const uint8_t kApp1Header[10] = {0xFF, 0xE1, 0x04, 0x78, 'E', 'x', 'i', 'f', 0, 0};
    std::memcpy(bytes + 2, kApp1Header, sizeof kApp1Header);
    uint8_t* block = bytes + 2 + sizeof kApp1Header;
    BuildExifHeaderBlock(s.shot, block);
    if (!options.software.empty()) {
      char* field = reinterpret_cast<char*>(block + kSoftwareAt);
      std::memset(field, 0, kSoftwareSize);
      std::strncpy(field, options.software.c_str(), kSoftwareSize - 1);
    }
  }
  out.bytes = std::move(buffer);
  out.length = stored + room;
  out.exif_synthesized = !hasExif;
  out.camera_orientation = HeaderOrientation(s.shot);
  OwnFrameSize(out.bytes.get(), out.length, &out.width, &out.height);
  return out;
}

// The list of embedded images of an identified file, each looked at through
// its own markers, and which of them the extraction choice is.
void ListImages(ParseState& s, Identification* id) {
  const ByteSource* source = s.input.Source();
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(s.input.Size(), 0));
  std::vector<ImageMet> met = s.found.images_met;
  // The rules' preview is always listed, even where no parser named it.
  const RulesPreview preview = RulesChoice(s);
  const ImagePlace rules = RulesPlace(preview);
  bool rules_listed = false;
  for (const ImageMet& m : met)
    rules_listed |= m.offset == rules.offset && m.length == rules.length;
  if (!rules_listed && rules.offset != 0 && rules.length != 0) {
    ImageMet m;
    m.where = "preview";
    m.offset = rules.offset;
    m.length = rules.length;
    m.kind = preview.kind == PreviewKind::Jpeg ? ImageKind::kJpeg : ImageKind::kBitmap;
    met.push_back(m);
  }
  for (const ImageMet& m : met) {
    EmbeddedImage image;
    image.where = m.where;
    image.offset = m.offset;
    image.length = m.length;
    image.width = m.width;
    image.height = m.height;
    image.kind = m.kind;
    image.complete = m.offset <= size && m.length <= size - m.offset;
    // Bytes past the end of the file cannot be looked at: the image stays
    // what its container says it is.
    const bool readable = m.offset + kExifProbeLength <= size;
    if (m.kind == ImageKind::kJpeg && source && readable) {
      // Its own markers decide: the first two bytes count as SOI whatever
      // is stored, as extraction writes them.
      SourceJpegReader reader(*source, &s.input);
      const uint64_t end = image.complete ? m.offset + m.length : size;
      uint8_t third = 0;
      const JpegSurvey survey =
          reader.ReadAt(static_cast<int64_t>(m.offset) + 2, &third, 1) && third == kMarkerPrefix
              ? SurveyJpeg(reader, static_cast<int64_t>(m.offset) + 2, static_cast<int64_t>(end))
              : JpegSurvey();
      if (IsPictureFrame(survey)) {
        image.width = static_cast<uint32_t>(survey.frame.width);
        image.height = static_cast<uint32_t>(survey.frame.height);
        image.own_exif = survey.exif;
      } else {
        image.kind = ImageKind::kOther;
      }
    }
    if (m.offset == rules.offset && m.length == rules.length) {
      id->rules_choice = static_cast<int>(id->images.size());
    }
    id->images.push_back(std::move(image));
  }
}

void DescribeCamera(const ShotDescription& s, CameraDescription* camera) {
  auto text = [](const char* field, size_t capacity) {
    return std::string(field, strnlen(field, capacity));
  };
  camera->make = text(s.make, sizeof s.make);
  camera->model = text(s.model, sizeof s.model);
  camera->model2 = text(s.model2, sizeof s.model2);
  camera->artist = text(s.artist, sizeof s.artist);
  camera->description = text(s.description, sizeof s.description);
  camera->timestamp = s.timestamp;
  camera->exif_orientation = HeaderOrientation(s);
  camera->iso_speed = s.iso_speed;
  camera->shutter = s.shutter;
  camera->aperture = s.aperture;
  camera->focal_length = s.focal_length;
}

// Everything callers outside the engine learn of an identified file.
void Describe(ParseState& s, Identification* id) {
  DescribeCamera(s.shot, &id->camera);
  id->raw = s.raw.raw_count != 0;
  ListImages(s, id);
  ImagePlace place;
  uint8_t head[kExifProbeLength];
  id->reason = LocatePreview(s, false, &place, head, HeadRead::kLookOnly);
  if (id->reason == NoPreviewReason::kNone) id->extraction_choice = id->rules_choice;
  // A converted file's preview is looked at as extraction would, for the
  // uses that take such files.
  if (id->reason == NoPreviewReason::kConvertedFile)
    id->converted_reason = LocatePreview(s, true, &place, head, HeadRead::kLookOnly);
}

// Identifies the source into a fresh state; false when the file could not be
// parsed for want of memory.
bool IdentifyInto(const ByteSource& source, const std::string& name,
                  const platform::NativePath& path, const DiagnosticSink& diagnostics,
                  ParseState* s) {
  s->input.Attach(&source);
  s->input_name = name;
  s->input_path = path;
  s->diagnostics = diagnostics;
  try {
    IdentifyFile(*s);
  } catch (const ParseAbort&) {
    return false;
  }
  return true;
}

}  // namespace

void BuildExifHeaderBlock(const ShotDescription& s, uint8_t* block) {
  std::memset(block, 0, kExifHeaderBlockSize);
  BlockWriter w(block);
  const uint16_t order = HostByteOrder();
  block[0] = block[1] = static_cast<uint8_t>(order & 0xFF);
  w.U16(2, 42);
  w.U32(4, kIfd0Offset);

  size_t at = kIfd0Offset;
  w.U16(at, kIfd0EntryCount);
  at += 2;
  w.Entry(at, tag::kImageDescription, 2, kDescriptionSize, kDescriptionAt), at += 12;
  w.Entry(at, tag::kMake, 2, kNameSize, kMakeAt), at += 12;
  w.Entry(at, tag::kModel, 2, kNameSize, kModelAt), at += 12;
  w.ShortEntry(at, tag::kOrientation, HeaderOrientation(s)), at += 12;
  w.Entry(at, tag::kXResolution, 5, 1, kXResolutionAt), at += 12;
  w.Entry(at, tag::kYResolution, 5, 1, kYResolutionAt), at += 12;
  w.ShortEntry(at, tag::kPlanarConfiguration, 1), at += 12;  // chunky pixels
  w.ShortEntry(at, tag::kResolutionUnit, 2), at += 12;       // resolution in inches
  w.Entry(at, tag::kSoftware, 2, kSoftwareSize, kSoftwareAt), at += 12;
  w.Entry(at, tag::kDateTime, 2, kDateTimeSize, kDateTimeAt), at += 12;
  w.Entry(at, tag::kArtist, 2, kNameSize, kArtistAt), at += 12;
  w.Entry(at, tag::kExifPointer, 4, 1, kExifIfdOffset);
  w.U32(kIfd0NextOffset, 0);

  at = kExifIfdOffset;
  w.U16(at, kExifEntryCount);
  at += 2;
  w.Entry(at, tag::kExposureTime, 5, 1, kExposureAt), at += 12;
  w.Entry(at, tag::kFNumber, 5, 1, kFNumberAt), at += 12;
  w.ShortEntry(at, tag::kIsoSpeed, IsoValue(s.iso_speed)), at += 12;
  w.Entry(at, tag::kFocalLength, 5, 1, kFocalLengthAt);

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

ExtractedPreview ExtractEmbeddedPreviewFrom(const ByteSource& source, const std::string& name,
                                            const platform::NativePath& path,
                                            const ExtractOptions& options) {
  // A fresh state per extraction: nothing of another file or thread leaks in.
  auto state = std::make_unique<ParseState>();
  ParseState& s = *state;
  ExtractedPreview out;
  if (!IdentifyInto(source, name, path, options.diagnostics, &s)) {
    out.reason = NoPreviewReason::kOutOfMemory;
    return out;
  }
  ImagePlace place;
  uint8_t head[kExifProbeLength];
  if (options.use.cover <= 0) {
    // The extraction choice needs no look at the other images.
    out.reason = LocatePreview(s, options.use.accept_converted, &place, head);
  } else {
    Identification id;
    try {
      Describe(s, &id);
    } catch (const std::bad_alloc&) {
      out.reason = NoPreviewReason::kOutOfMemory;
      return out;
    }
    const ImageChoice choice = ChooseImage(id, options.use);
    out.reason = choice.reason;
    if (out.reason == NoPreviewReason::kNone) {
      place = ImagePlace{id.images[choice.index].offset, id.images[choice.index].length};
      out.reason = CheckPlace(s, place, head);
    }
  }
  if (out.reason != NoPreviewReason::kNone) return out;
  return ReadPreview(s, place, head, options);
}

ExtractedPreview ExtractEmbeddedPreview(const std::u16string& path, const ExtractOptions& options) {
  const platform::NativePath native = platform::ToNativePath(path);
  FileSource source(native);
  if (!source.IsOpen()) {
    ExtractedPreview out;
    out.reason = NoPreviewReason::kCannotOpen;
    return out;
  }
  return ExtractEmbeddedPreviewFrom(source, platform::PathForDisplay(path), native, options);
}

NoPreviewReason CheckPreview(ParseState& s) {
  ImagePlace place;
  uint8_t head[kExifProbeLength];
  return LocatePreview(s, false, &place, head);
}

bool IdentifySource(const ByteSource& source, const std::string& name,
                    const platform::NativePath& path, ParseState* state) {
  // Start from a freshly constructed state; only the caller's choice of
  // diagnostics sink survives.
  DiagnosticSink diagnostics = std::move(state->diagnostics);
  *state = ParseState();
  return IdentifyInto(source, name, path, diagnostics, state) && source.Size() > 0;
}

bool DescribeIdentified(ParseState& s, Identification* out) {
  *out = Identification();
  try {
    Describe(s, out);
  } catch (const std::bad_alloc&) {
    *out = Identification();
    out->reason = NoPreviewReason::kOutOfMemory;
    return false;
  }
  return true;
}

bool IdentifyImages(const ByteSource& source, const std::string& name,
                    const platform::NativePath& path, Identification* out) {
  auto state = std::make_unique<ParseState>();
  if (!IdentifyInto(source, name, path, nullptr, state.get())) {
    *out = Identification();
    out->reason = NoPreviewReason::kOutOfMemory;
    return false;
  }
  return DescribeIdentified(*state, out) && source.Size() > 0;
}

}  // namespace engine
