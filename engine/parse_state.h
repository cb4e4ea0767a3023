// The walk of one camera file, and what its parsers fill: the shot's
// description, the raw data's description and the findings (the embedded
// images, the rules' claims on the preview, why the file is not raw).
//
// One ParseState is handed to every parser of one extraction; nothing in the
// engine is process-wide, so extractions on different threads each use their
// own state. Field names follow the file formats' vocabulary; text fields are
// fixed-size NUL-terminated 8-bit text, offsets are absolute 32-bit file
// positions, as the formats store them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/byte_order.h"
#include "engine/images.h"
#include "engine/input.h"
#include "engine/limits.h"
#include "engine/outcome.h"
#include "platform/path.h"

namespace engine {

// How the stored preview bytes are encoded; only Jpeg is ever extracted.
enum class PreviewKind : uint8_t { Jpeg, PackedRgb, Layered, Rollei, Foveon };

const char* PreviewKindName(PreviewKind kind);

// The raw decoder that would read a file's sensor data. The engine never runs
// one: it only tests whether one was chosen and compares a few identities.
enum class RawDecoder : uint8_t {
  None = 0,
  Eight_bit,
  Packed12,
  Unpacked,
  E300Packed,
  Rgb12Layout,
  LosslessJpeg,
  Kodak262,
  Packed32769,
  Kodak65000,
  KodakRgb,
  KodakYcbcr,
  KodakJpegCompressed,
  Decoder65535,
  SinarFourShot,
  Imacon,
  DngUncompressed,
  DngLosslessJpeg,
  CiffCompressed,
  NikonCompressed,
  NikonUncompressed,
  Foveon,
  Fuji,
  Phaseone,
  Rollei,
  Smal,
  Generic,  // chosen by a per-camera rule whose exact decoder does not matter here
  // Raw data of later cameras (current_cameras.cpp): only "a raw image is
  // present" matters, nothing here decodes it.
  SonyCompressed,     // Sony 32767
  PanasonicRaw,       // Panasonic 34316 and the other RW2 variants
  SamsungCompressed,  // Samsung 32770, 32772
  DngLossyJpeg,       // DNG 34892
  DngJpegXl,          // DNG 1.7, 52546
  GoProVc5,           // GoPro 9 (VC-5)
  CanonCr3,           // CR3's raw tracks
};

const char* RawDecoderName(RawDecoder decoder);

// Summary of one TIFF image directory (tiff.cpp).
struct IfdRecord {
  // How the directory was reached ("IFD0", "SubIFD1", "MakerNote PreviewIFD"):
  // names the image it describes in the list of embedded images.
  char where[kImagePlaceNameSize] = {};
  int32_t width = 0;
  int32_t height = 0;
  int32_t bits_per_sample = 0;
  int32_t compression = 0;
  int32_t photometric = 0;
  int32_t offset = 0;       // absolute offset of the image data
  int32_t orientation = 0;  // orientation code, 0 = none seen
  int32_t samples = 0;
  int32_t byte_count = 0;
  uint32_t subfile_type = 0;  // NewSubfileType: bit 0 set for a reduced-resolution image
};

// Where the file keeps one TIFF directory of its own shot description, so
// that it can be copied whole into an extracted JPEG. Value offsets inside
// the directory count from `base`.
struct DirectoryLocation {
  int64_t base = -1;        // -1: the file has no such directory
  int64_t offset = 0;       // absolute position of the directory's entry count
  uint16_t byte_order = 0;  // 0x4949 little-endian or 0x4D4D big-endian
  bool present() const { return base >= 0; }
};

// The directories of the raw file's own description: IFD0 (make, model,
// dates, copyright...), the Exif directory and the GPS directory.
struct MetadataDirectories {
  DirectoryLocation ifd0;
  DirectoryLocation exif;
  DirectoryLocation gps;
};

// One image a parser met in the file, before its bytes are looked at.
struct ImageMet {
  std::string where;  // a short stable name of the place ("IFD1", "PRVW", "RAF header")
  uint64_t offset = 0;
  uint64_t length = 0;
  // The size the container states (0 by 0: none); a JPEG's own frame header
  // replaces it once its bytes are looked at.
  uint32_t width = 0, height = 0;
  // What the container says the bytes are: kJpeg where they may be a JPEG
  // (their own markers decide), otherwise the kind as stated.
  ImageKind kind = ImageKind::kJpeg;
};

// Where the container's rules put the preview, and what they say it is.
struct RulesPreview {
  uint32_t offset = 0;
  uint32_t length = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  PreviewKind kind = PreviewKind::Jpeg;
};

// One claim of a container's rules on the preview: the fields it states,
// each replacing what earlier claims stated of it (a parser that reads an
// offset and a length from separate entries claims each as it meets it).
struct PreviewClaim {
  enum Field : uint8_t { kOffset = 1, kLength = 2, kWidth = 4, kHeight = 8, kKind = 16 };
  uint8_t fields = 0;
  RulesPreview value;

  PreviewClaim& Offset(uint32_t v) {
    value.offset = v;
    fields |= kOffset;
    return *this;
  }
  PreviewClaim& Length(uint32_t v) {
    value.length = v;
    fields |= kLength;
    return *this;
  }
  PreviewClaim& Place(uint32_t offset, uint32_t length) { return Offset(offset).Length(length); }
  PreviewClaim& Width(uint16_t v) {
    value.width = v;
    fields |= kWidth;
    return *this;
  }
  PreviewClaim& Height(uint16_t v) {
    value.height = v;
    fields |= kHeight;
    return *this;
  }
  PreviewClaim& Size(uint16_t width, uint16_t height) { return Width(width).Height(height); }
  PreviewClaim& Kind(PreviewKind v) {
    value.kind = v;
    fields |= kKind;
    return *this;
  }
};

// The preview the claims name, in the order they were made: for each field,
// the last claim that states it; a field no claim states keeps its default.
RulesPreview PreviewOfClaims(const std::vector<PreviewClaim>& claims);

// Thrown by the out-of-memory check; caught only by ExtractEmbeddedPreview.
struct ParseAbort {};

// What the camera recorded about itself and the shot, as the parsers fill it:
// fixed-size 8-bit texts, a local timestamp, the orientation code (some
// containers leave a rotation in degrees) and the exposure. The synthesized
// Exif header and the engine's callers read only this of a parse.
struct ShotDescription {
  char make[64] = {};
  char model[64] = {};
  char model2[64] = {};
  char artist[64] = {};
  char description[512] = {};
  int64_t timestamp = 0;
  int32_t orientation = -1;
  float iso_speed = 0;
  float shutter = 0;
  float aperture = 0;
  float focal_length = 0;
  uint32_t shot_order = 0;
  uint32_t unique_id = 0;
};

// What the rules learn about the raw data: whether the file holds any (one
// raw image per count), the decoder that would read it and its geometry.
struct RawDescription {
  uint32_t raw_count = 1;
  // Set by containers that are camera raw by their format alone (a CR3
  // brand, say): the decoder and frame-height checks of identification do
  // not apply to them.
  bool raw_by_container = false;
  RawDecoder raw_decoder = RawDecoder::None;
  // Where the raw data starts: the D100 rule reads there, and the KC/MLY
  // white-balance scan stops there.
  uint32_t raw_data_offset = 0;
  uint16_t raw_width = 0, raw_height = 0;
  uint16_t image_width = 0, image_height = 0;
  uint32_t bits_per_sample = 12;
  uint32_t compression = 0;
  uint32_t samples_per_pixel = 0;
  uint32_t dng_version = 0;
  // The colour filter layout; in a DNG, whether one is set decides the raw
  // count.
  uint32_t filter_pattern = 0xFFFFFFFF;
  // A 45-degree sensor (Fuji): half the raw width, and the RAF layout flag;
  // both shape the image size.
  uint16_t fuji_rotated_width = 0;
  uint32_t fuji_layout = 0;
  bool foveon = false;
  // The first white-balance multiplier the file records (0: none): the Leaf
  // rule and the Leaf neutrals packet test it.
  float first_camera_multiplier = 0;
  // Length of the Imacon raw data (tag 46275): at six bytes a pixel the back
  // stored full-colour pixels, which changes the image size and orientation.
  uint32_t imacon_data_length = 0;
};

// What the parsers found besides the descriptions: the images and the rules'
// claims on the preview, where the file's own description directories lie,
// the container family, and why the file is not camera raw or was cut short.
struct Findings {
  // Every embedded image the parsers met, in the order they met them.
  std::vector<ImageMet> images_met;
  // The container's rules' claims on the preview, in the order they were
  // made; RulesChoice reads the preview they name.
  std::vector<PreviewClaim> preview_claims;
  // First of each directory met in the file's main structure (set once).
  MetadataDirectories metadata_directories;
  // Something the identification needed (a directory, a box, an image's
  // data) lies past the end of the file: the file was cut short.
  bool needed_past_end = false;
  // The container is one only cameras write (CR3, CRW, RAF, MRW, X3F): it
  // says which camera wrote the file even when no make was read.
  bool container_names_camera = false;
  // The first rule that found the file not to be camera raw (when raw_count
  // ends at 0), and whether the file is a JPEG of its own.
  NoPreviewReason not_raw_reason = NoPreviewReason::kNone;
  bool plain_jpeg = false;
  // The main TIFF structure has Panasonic's magic 0x55 (RW2, RWL).
  bool panasonic_tiff = false;
  // The JPEG a RAF header points at, "RAF header" (`where` stays empty in a
  // file without one): the RAF family's own preview.
  ImageMet raf_header_image;
  // A JPEG XL preview was passed over in the preview choice.
  bool jpeg_xl_preview_skipped = false;
};

// The state of one identification's walk: the input, its byte order and
// head, diagnostics, the walk's bookkeeping and depth counters, and the
// structs the parsers fill (the shot, the raw data, the findings), which
// identification hands on.
struct ParseState {
  // Input and diagnostics.
  InputStream input;
  std::string input_name;           // names the file in diagnostics (8-bit text)
  platform::NativePath input_path;  // the same file in the system's own form (sidecar lookup)
  DiagnosticSink diagnostics;       // where diagnostics go; empty: nowhere
  uint16_t byte_order = 0;          // 0x4949 little-endian, anything else big-endian
  int32_t file_size = 0;
  bool data_error_seen = false;  // a data error was reported (only the first one is)
  uint32_t header_length = 0;    // 32-bit value at offset 2 (CIFF heap start)
  uint8_t head[kHeadSize] = {};

  // What the parsers fill.
  ShotDescription shot;
  RawDescription raw;
  Findings found;

  // The TIFF orientation: the walk's candidate for the shot's orientation,
  // taken when no container stated one.
  int32_t tiff_orientation = -1;
  // TIFF image directories of the current TIFF parse.
  IfdRecord ifd_table[kIfdTableSize];
  uint32_t ifd_count = 0;
  // Walk bookkeeping of the TIFF parser: the absolute start of every directory
  // entered since the outermost TIFF parse began (none is entered twice, so a
  // structure that points back into itself ends), and how deeply TIFF parses
  // are nested inside one another right now.
  std::vector<int64_t> tiff_directories_entered;
  uint32_t tiff_nesting = 0;
};

// Byte readers. Multi-byte values follow s.byte_order; missing bytes read as
// 0xFF, so a read at the end of the file yields all ones.
uint16_t decode_u16(const ParseState& s, const uint8_t* bytes);
uint32_t decode_u32(const ParseState& s, const uint8_t* bytes);
uint16_t read_u16(ParseState& s);
uint32_t read_u32(ParseState& s);
// A big-endian 32-bit value whatever s.byte_order (RAF header fields, MRW
// block tags, Photoshop-style sizes); missing bytes read as 0xFF.
uint32_t read_big_endian_u32(ParseState& s);
uint32_t read_int(ParseState& s, uint32_t type);
double read_real(ParseState& s, uint32_t type);

// One line to the diagnostics sink, prefixed by the input's name.
void Diagnose(const ParseState& s, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Reports the first data error of a file to the diagnostics sink.
void ReportDataError(ParseState& s);
// A rule found the file not to be camera raw: raw_count becomes 0, and the
// first such rule is kept as the reason.
void MarkNotRaw(ParseState& s, NoPreviewReason reason);
// When an allocation result is absent: reports it and abandons the file.
void CheckAllocation(ParseState& s, const void* allocation, const char* where);

// The orientation tables: TIFF Orientation value -> code, code -> Exif value.
int OrientationCodeFromTiff(unsigned tiff_value);
int ExifOrientationFromCode(int code);

// Text helpers for the fixed-size fields: copy with truncation and NUL fill.
template <size_t N>
void SetText(char (&field)[N], const char* text) {
  size_t i = 0;
  for (; i + 1 < N && text[i]; ++i) field[i] = text[i];
  for (; i < N; ++i) field[i] = 0;
}

// Adds an image to images_met, once per offset and length (the first place
// that names it keeps it). Nothing at offset 0 or of length 0 is an image.
void NoteImage(ParseState& s, const char* where, uint64_t offset, uint64_t length,
               ImageKind kind = ImageKind::kJpeg, uint32_t width = 0, uint32_t height = 0);
// Notes the rules' preview as an image when its place changed from `before`
// (for parsers that claim its offset and length entry by entry).
void NotePreviewIfChanged(ParseState& s, const char* where, const RulesPreview& before);
// The one way parsers name the preview: a claim of the container's rules,
// made after every earlier one.
void ClaimPreview(ParseState& s, const PreviewClaim& claim);
// The rules no longer name a preview where they did: its offset becomes 0.
void WithdrawPreviewClaim(ParseState& s);
// The rules' choice from the claims made so far.
RulesPreview RulesChoice(const ParseState& s);
// A structure the identification needs starts at `position`: when that lies
// past the end of the file, the file was cut short.
void NeedPosition(ParseState& s, int64_t position);

// The reset that identification applies at the start of every file.
void ResetParseState(ParseState& s);

}  // namespace engine
