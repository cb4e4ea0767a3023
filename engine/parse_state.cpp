#include "engine/parse_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace engine {

const char* PreviewKindName(PreviewKind kind) {
  switch (kind) {
    case PreviewKind::Jpeg:
      return "Jpeg";
    case PreviewKind::PackedRgb:
      return "PackedRgb";
    case PreviewKind::Layered:
      return "Layered";
    case PreviewKind::Rollei:
      return "Rollei";
    case PreviewKind::Foveon:
      return "Foveon";
  }
  return "Jpeg";
}

const char* RawDecoderName(RawDecoder decoder) {
  static const char* const kNames[] = {
      "none",
      "eight_bit",
      "packed12",
      "unpacked",
      "e300_packed",
      "rgb12_layout",
      "lossless_jpeg",
      "kodak_262",
      "packed_32769",
      "kodak_65000",
      "kodak_rgb",
      "kodak_ycbcr",
      "kodak_jpeg",
      "decoder_65535",
      "sinar_4shot",
      "imacon",
      "dng_uncompressed",
      "dng_lossless_jpeg",
      "ciff_compressed",
      "nikon_compressed",
      "nikon_uncompressed",
      "foveon",
      "fuji",
      "phase_one",
      "rollei",
      "smal",
      "generic",
      "sony_compressed",
      "panasonic_raw",
      "samsung_compressed",
      "dng_lossy_jpeg",
      "dng_jpeg_xl",
      "gopro_vc5",
      "canon_cr3",
  };
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(RawDecoder::CanonCr3) + 1,
                "a name for every decoder");
  const size_t index = static_cast<size_t>(decoder);
  return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "unknown";
}

uint16_t decode_u16(const ParseState& s, const uint8_t* b) {
  return Load16(b, s.byte_order);
}

uint32_t decode_u32(const ParseState& s, const uint8_t* b) {
  return Load32(b, s.byte_order);
}

uint16_t read_u16(ParseState& s) {
  uint8_t b[2] = {0xFF, 0xFF};
  s.input.Read(b, 2);
  return decode_u16(s, b);
}

uint32_t read_u32(ParseState& s) {
  uint8_t b[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  s.input.Read(b, 4);
  return decode_u32(s, b);
}

uint32_t read_big_endian_u32(ParseState& s) {
  uint8_t b[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  s.input.Read(b, 4);
  return LoadBigEndian32(b);
}

uint32_t read_int(ParseState& s, uint32_t type) {
  return type == 3 ? read_u16(s) : read_u32(s);
}

double read_real(ParseState& s, uint32_t type) {
  switch (type) {
    case 3:
      return read_u16(s);
    case 4:
      return read_u32(s);
    case 5: {
      const double numerator = read_u32(s);
      return numerator / read_u32(s);
    }
    case 8:
      return static_cast<int16_t>(read_u16(s));
    case 9:
      return static_cast<int32_t>(read_u32(s));
    case 10: {
      const double numerator = static_cast<int32_t>(read_u32(s));
      return numerator / static_cast<int32_t>(read_u32(s));
    }
    case 11: {
      const uint32_t bits = read_u32(s);
      float value;
      std::memcpy(&value, &bits, 4);
      return value;
    }
    case 12: {
      uint8_t b[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      s.input.Read(b, 8);
      const uint64_t bits = Load64(b, s.byte_order);
      double value;
      std::memcpy(&value, &bits, 8);
      return value;
    }
    default:
      return s.input.Get();
  }
}

void Diagnose(const ParseState& s, const char* format, ...) {
  if (!s.diagnostics) return;
  char message[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  s.diagnostics((s.input_name.empty() ? std::string("(input)") : s.input_name) + ": " + message);
}

void ReportDataError(ParseState& s) {
  if (s.data_error_seen) return;
  s.data_error_seen = true;
  if (s.input.AtEnd())
    Diagnose(s, "Unexpected end of file\n");
  else
    Diagnose(s, "Corrupt data near 0x%llx\n", static_cast<unsigned long long>(s.input.Tell()));
}

void CheckAllocation(ParseState& s, const void* allocation, const char* where) {
  if (allocation) return;
  Diagnose(s, "Out of memory in %s\n", where);
  throw ParseAbort{};
}

void MarkNotRaw(ParseState& s, NoPreviewReason reason) {
  s.raw.raw_count = 0;
  if (s.found.not_raw_reason == NoPreviewReason::kNone) s.found.not_raw_reason = reason;
}

int OrientationCodeFromTiff(unsigned tiff_value) {
  return "50132467"[tiff_value & 7] - '0';
}

int ExifOrientationFromCode(int code) {
  if (code < 0 || code > 7) return 1;
  return "12435867"[code] - '0';
}

void NoteImage(ParseState& s, const char* where, uint64_t offset, uint64_t length, ImageKind kind,
               uint32_t width, uint32_t height) {
  if (offset == 0 || length == 0 || s.found.images_met.size() >= kMaxImagesListed) return;
  for (const ImageMet& met : s.found.images_met)
    if (met.offset == offset && met.length == length) return;
  ImageMet met;
  met.where = where;
  met.offset = offset;
  met.length = length;
  met.width = width;
  met.height = height;
  met.kind = kind;
  s.found.images_met.push_back(std::move(met));
}

void NotePreviewIfChanged(ParseState& s, const char* where, const RulesPreview& before) {
  const RulesPreview now = RulesChoice(s);
  if (now.offset == before.offset && now.length == before.length) return;
  NoteImage(s, where, now.offset, now.length);
}

RulesPreview PreviewOfClaims(const std::vector<PreviewClaim>& claims) {
  RulesPreview preview;
  for (const PreviewClaim& claim : claims) {
    if (claim.fields & PreviewClaim::kOffset) preview.offset = claim.value.offset;
    if (claim.fields & PreviewClaim::kLength) preview.length = claim.value.length;
    if (claim.fields & PreviewClaim::kWidth) preview.width = claim.value.width;
    if (claim.fields & PreviewClaim::kHeight) preview.height = claim.value.height;
    if (claim.fields & PreviewClaim::kKind) preview.kind = claim.value.kind;
  }
  return preview;
}

void ClaimPreview(ParseState& s, const PreviewClaim& claim) {
  if (s.found.preview_claims.size() >= kMaxPreviewClaims) {
    // Only the preview the claims name matters: the claims so far become
    // one that states every field.
    PreviewClaim merged;
    merged.fields = PreviewClaim::kOffset | PreviewClaim::kLength | PreviewClaim::kWidth |
                    PreviewClaim::kHeight | PreviewClaim::kKind;
    merged.value = PreviewOfClaims(s.found.preview_claims);
    s.found.preview_claims.assign(1, merged);
  }
  s.found.preview_claims.push_back(claim);
}

void WithdrawPreviewClaim(ParseState& s) {
  ClaimPreview(s, PreviewClaim().Offset(0));
}

RulesPreview RulesChoice(const ParseState& s) {
  return PreviewOfClaims(s.found.preview_claims);
}

void NeedPosition(ParseState& s, int64_t position) {
  if (position >= s.input.Size()) s.found.needed_past_end = true;
}

void ResetParseState(ParseState& s) {
  // Everything but the input, its names and where diagnostics go starts as a
  // new state does.
  ParseState fresh;
  fresh.input = std::move(s.input);
  fresh.input_name = std::move(s.input_name);
  fresh.input_path = std::move(s.input_path);
  fresh.diagnostics = std::move(s.diagnostics);
  s = std::move(fresh);

  // Head read: the order mark is read in the new state's (big-endian)
  // order; only "II" and "MM" give a value that does not depend on it.
  s.input.Seek(0);
  s.byte_order = read_u16(s);
  s.header_length = read_u32(s);
  std::memset(s.head, 0, sizeof s.head);
  s.input.Seek(0);
  s.input.Read(s.head, sizeof s.head);
  const int64_t size = s.input.Size();
  // Offsets in these formats are 32-bit; a larger file is measured as the
  // largest size they can address.
  s.file_size = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(size);
  s.input.Seek(s.file_size);
}

}  // namespace engine
