// Rules for cameras made after the original rules were written: raw
// compressions they introduced, Panasonic's TIFF variant, the maker-note
// headers of later Pentax and OM System bodies, DNG's reduced-resolution and
// JPEG XL directories, and RAF files of X and GFX bodies.
//
// Each rule changes only the outcome of files that the original rules refuse
// or misread; the original rules call in here at marked places and keep
// deciding every file they already decided.
#include <cstring>

#include "engine/parsers.h"
#include "engine/tags.h"

namespace engine {

namespace {

// Raw compressions of later cameras (TIFF Compression values).
constexpr uint32_t kGoProVc5 = 9;
constexpr uint32_t kSonyCompressed = 32767;
constexpr uint32_t kSamsungCompressed = 32770;
constexpr uint32_t kSamsungCompressed2 = 32772;
constexpr uint32_t kPanasonicRaw = 34316;
constexpr uint32_t kDngLossyJpeg = 34892;
constexpr uint32_t kDngJpegXl = 52546;

// NewSubfileType bit 0: the directory holds a reduced-resolution copy.
constexpr uint32_t kReducedResolution = 1;

// "PENTAX " and a NUL, then the order mark: the directory follows at 10 and
// its offsets count from the note's first byte.
constexpr char kPentaxNote[] = "PENTAX ";
constexpr int64_t kPentaxDirectoryAt = 10;
constexpr int64_t kPentaxOrderAt = 8;
// "OM SYSTEM", three NULs, the order mark and a version: the directory
// follows at 16, offsets count from the note's first byte.
constexpr char kOmSystemNote[] = "OM SYSTEM";
constexpr int64_t kOmSystemOrderAt = 12;
constexpr int64_t kOmSystemDirectoryAt = 16;

uint16_t OrderMarkAt(ParseState& s, int64_t position) {
  uint8_t mark[2] = {0, 0};
  s.input.Seek(position);
  s.input.Read(mark, 2);
  if (mark[0] == 'I' && mark[1] == 'I') return kLittleEndianMark;
  if (mark[0] == 'M' && mark[1] == 'M') return kBigEndianMark;
  return 0;
}

}  // namespace

RawDecoder RawDecoderOfLaterCompression(const ParseState& s, uint32_t compression) {
  switch (compression) {
    case kSonyCompressed:
      return RawDecoder::SonyCompressed;
    case kPanasonicRaw:
      return RawDecoder::PanasonicRaw;
    case kSamsungCompressed:
    case kSamsungCompressed2:
      return RawDecoder::SamsungCompressed;
    case kDngLossyJpeg:
      return RawDecoder::DngLossyJpeg;
    case kDngJpegXl:
      return RawDecoder::DngJpegXl;
    case kGoProVc5:
      return RawDecoder::GoProVc5;
    default:
      break;
  }
  // Nikon's High Efficiency raw data has a compression of its own; the Nikon
  // rule names the decoder by camera later, as for every NEF.
  if (std::strncmp(s.shot.make, "NIKON", 5) == 0) return RawDecoder::NikonCompressed;
  return RawDecoder::None;
}

bool CanBeRawImage(const ParseState& s, const IfdRecord& record) {
  // A phone's DNG keeps a full-size preview in IFD0, as large as the raw.
  return s.raw.dng_version == 0 || (record.subfile_type & kReducedResolution) == 0;
}

bool IsJpegXlImage(const IfdRecord& record) {
  return static_cast<uint32_t>(record.compression) == kDngJpegXl;
}

bool ReadPanasonicEntry(ParseState& s, const TiffEntry& e, IfdRecord& record) {
  if (!s.found.panasonic_tiff) return false;
  switch (e.tag) {
    case tag::kPanasonicCompression:
      record.compression = static_cast<int32_t>(read_int(s, e.type));
      return true;
    case tag::kPanasonicJpgFromRaw:
      // An undefined value: its count is the JPEG's length and its value
      // offset the JPEG's start. Its Exif segment carries the orientation.
      if (static_cast<uint64_t>(e.count) * TiffTypeSize(e.type) > 4) {
        const uint32_t offset = FileOffset(e.value_at);
        ClaimPreview(s, PreviewClaim().Place(offset, e.count));
        NoteImage(s, "JpgFromRaw", offset, e.count);
      }
      return true;
    default:
      return false;
  }
}

LaterNoteHeader ReadLaterNoteHeader(ParseState& s, const char* header, int64_t note_start,
                                    int64_t* base) {
  if (std::memcmp(header, kPentaxNote, sizeof kPentaxNote) == 0) {
    const uint16_t order = OrderMarkAt(s, note_start + kPentaxOrderAt);
    if (order == 0) return LaterNoteHeader::kNone;
    s.byte_order = order;
    *base = note_start;
    s.input.Seek(note_start + kPentaxDirectoryAt);
    return LaterNoteHeader::kPentax;
  }
  if (std::strcmp(header, kOmSystemNote) == 0) {
    const uint16_t order = OrderMarkAt(s, note_start + kOmSystemOrderAt);
    if (order == 0) return LaterNoteHeader::kNone;
    s.byte_order = order;
    *base = note_start;
    s.input.Seek(note_start + kOmSystemDirectoryAt);
    return LaterNoteHeader::kOmSystem;
  }
  return LaterNoteHeader::kNone;
}

namespace {

// A family whose container alone says the file holds raw data, whatever the
// camera rules' lists of models say.
struct ContainerFamilyRule {
  bool (*member)(const ParseState& s);
  // The rule applies only to files no camera rule named a decoder for.
  bool only_without_decoder;
  // The decoder named when no camera rule named one.
  RawDecoder decoder;
  // The family's own candidate, which becomes the preview (nullptr: the
  // parsers' claims stand).
  const ImageMet* (*own_preview)(const ParseState& s);
};

bool IsPanasonicTiff(const ParseState& s) {
  return s.found.panasonic_tiff;
}

bool HasRafHeader(const ParseState& s) {
  return !s.found.raf_header_image.where.empty();
}

const ImageMet* RafHeaderImage(const ParseState& s) {
  return &s.found.raf_header_image;
}

// Applied in this order: a decoder one names counts as named for the next.
const ContainerFamilyRule kContainerFamilyRules[] = {
    // RW2 and RWL: Panasonic's TIFF variant holds raw data whatever the
    // sensor's size; no list of widths decides it.
    {IsPanasonicTiff, false, RawDecoder::PanasonicRaw, nullptr},
    // RAF of X and GFX bodies ("X-T1", "GFX 100S"): no camera rule names
    // them, yet every RAF holds raw data, and its header JPEG is the full
    // preview (the thumbnail of that JPEG's own Exif block never is).
    {HasRafHeader, true, RawDecoder::Fuji, RafHeaderImage},
};

// The family's candidate as the rules' preview, its size from its own frame
// header, unless the claims already name that place.
void ClaimFamilyPreview(ParseState& s, const ImageMet& image) {
  const uint32_t offset = static_cast<uint32_t>(image.offset);
  if (RulesChoice(s).offset == offset) return;
  PreviewClaim claim;
  claim.Place(offset, static_cast<uint32_t>(image.length)).Kind(PreviewKind::Jpeg).Size(0, 0);
  s.input.Seek(offset);
  JpegFrameHeader info;
  if (probe_jpeg_header(s, &info))
    claim.Size(static_cast<uint16_t>(info.width), static_cast<uint16_t>(info.height));
  ClaimPreview(s, claim);
}

}  // namespace

void ApplyContainerFamilyRules(ParseState& s) {
  for (const ContainerFamilyRule& rule : kContainerFamilyRules) {
    if (!rule.member(s)) continue;
    if (rule.only_without_decoder && s.raw.raw_decoder != RawDecoder::None) continue;
    s.raw.raw_by_container = true;
    if (s.raw.raw_decoder == RawDecoder::None) s.raw.raw_decoder = rule.decoder;
    if (rule.own_preview) ClaimFamilyPreview(s, *rule.own_preview(s));
  }
}

}  // namespace engine
