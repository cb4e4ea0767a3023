// Format identification: which container a camera file is, which parser
// reads it, the maker and model as the rest of the engine expects them, and
// whether the file counts as raw at all.
//
// Only the facts the preview extraction and `rawlift identify` depend on are
// settled: the raw count, the preview location and kind, the orientation, the
// shot description, and the raw and image sizes. The camera rules further
// down name the decoder that would read the raw data, which this program
// never runs: only whether one was chosen, and a few of their identities,
// decide anything (the final raw check).
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "engine/byte_order.h"
#include "engine/limits.h"
#include "engine/parsers.h"

namespace engine {
namespace {

// Makers whose names are written in many ways ("NIKON CORPORATION",
// "KONICA MINOLTA CAMERA, Inc.", "Eastman Kodak Company"); a make containing
// one of these becomes exactly that name, tested in this order.
constexpr const char* kMakerNames[] = {
    "Canon",   "NIKON",  "EPSON", "KODAK", "Kodak",     "OLYMPUS", "PENTAX", "MINOLTA",
    "Minolta", "Konica", "CASIO", "Sinar", "Phase One", "SAMSUNG", "Mamiya",
};

// Files with no header at all, recognised by their exact size. Rows with
// `sidecar` set have their metadata in a JPEG written beside the raw file.
struct HeaderlessCamera {
  int32_t file_size;
  const char* make;
  const char* model;
  bool sidecar;
};

constexpr HeaderlessCamera kHeaderlessCameras[] = {
    {62464, "Kodak", "DC20", false},
    {124928, "Kodak", "DC20", false},
    {1652736, "Kodak", "DCS200", false},
    {4159302, "Kodak", "C330", false},
    {4162462, "Kodak", "C330", false},
    {311696, "ST Micro", "STV680 VGA", false},
    {614400, "Kodak", "KAI-0340", false},
    {787456, "Creative", "PC-CAM 600", false},
    {1138688, "Minolta", "RD175", false},
    {3840000, "Foculus", "531C", false},
    {1447680, "AVT", "F-145C", false},
    {1920000, "AVT", "F-201C", false},
    {5067304, "AVT", "F-510C", false},
    {10134608, "AVT", "F-510C", false},
    {16157136, "AVT", "F-810C", false},
    {1409024, "Sony", "XCD-SX910CR", false},
    {2818048, "Sony", "XCD-SX910CR", false},
    {3884928, "Micron", "2010", false},
    {6624000, "Pixelink", "A782", false},
    {13248000, "Pixelink", "A782", false},
    {6291456, "RoverShot", "3320AF", false},
    {6573120, "Canon", "PowerShot A610", false},
    {9219600, "Canon", "PowerShot A620", false},
    {10383120, "Canon", "PowerShot A630", false},
    {12945240, "Canon", "PowerShot A640", false},
    {7710960, "Canon", "PowerShot S3 IS", false},
    {5939200, "OLYMPUS", "C770UZ", false},
    {1581060, "NIKON", "E900", true},
    {2465792, "NIKON", "E950", true},
    {2940928, "NIKON", "E2100", true},
    {4771840, "NIKON", "E990", true},
    {4775936, "NIKON", "E3700", true},
    {5869568, "NIKON", "E4300", true},
    {5865472, "NIKON", "E4500", true},
    {7438336, "NIKON", "E5000", true},
    {1976352, "CASIO", "QV-2000UX", true},
    {3217760, "CASIO", "QV-3*00EX", true},
    {6218368, "CASIO", "QV-5700", true},
    {6054400, "CASIO", "QV-R41", true},
    {7530816, "CASIO", "QV-R51", true},
    {7684000, "CASIO", "QV-4000", true},
    {4948608, "CASIO", "EX-S100", true},
    {7542528, "CASIO", "EX-Z50", true},
    {7753344, "CASIO", "EX-Z55", true},
    {7426656, "CASIO", "EX-P505", true},
    {9313536, "CASIO", "EX-P600", true},
    {10979200, "CASIO", "EX-P700", true},
    {3178560, "PENTAX", "Optio S", true},
    {4841984, "PENTAX", "Optio S", true},
    {6114240, "PENTAX", "Optio S4", true},
    {10702848, "PENTAX", "Optio 750Z", true},
    {12582980, "Sinar", "", false},
    {33292868, "Sinar", "", false},
    {44390468, "Sinar", "", false},
};

// Olympus SP-550 UZ files keep their JPEG preview at this fixed offset, up to
// the end of the file.
constexpr uint32_t kSp550PreviewOffset = 10721280;  // 0xA39800

// Images shorter than this are thumbnails or garbage, not raw frames.
constexpr int kMinimumRawHeight = 22;

// The Fuji header: big-endian 32-bit values at fixed offsets.
constexpr int64_t kFujiPreviewOffsetAt = 84;
constexpr int64_t kFujiPreviewLengthAt = 88;
constexpr int64_t kFujiDirectoryAt = 92;
constexpr int64_t kFujiRawDataAt = 100;
constexpr int64_t kFujiSecondFrameAt = 120;
// The Exif APP1 header in front of a JPEG's TIFF structure: FF D8, FF E1, a
// 16-bit length and "Exif" 00 00.
constexpr int64_t kExifTiffOffset = 12;

bool HeadHas(const ParseState& s, size_t at, const char* text, size_t n) {
  return at + n <= kHeadSize && std::memcmp(s.head + at, text, n) == 0;
}

// An ISO base media file of Canon's "crx " brand.
bool IsCr3(const ParseState& s) {
  return HeadHas(s, 4, "ftypcrx ", 8);
}

// The head read as NUL-terminated text equals `text`.
bool HeadTextIs(const ParseState& s, const char* text) {
  const size_t n = std::strlen(text);
  return n < kHeadSize && std::memcmp(s.head, text, n) == 0 && s.head[n] == 0;
}

// First position of a four-byte pattern in the head, or -1.
int FindInHead(const ParseState& s, const char* pattern) {
  for (size_t p = 0; p + 4 <= kHeadSize; ++p)
    if (std::memcmp(s.head + p, pattern, 4) == 0) return static_cast<int>(p);
  return -1;
}

uint32_t ReadBigEndian32At(ParseState& s, int64_t offset) {
  s.input.Seek(offset);
  return read_big_endian_u32(s);
}

// A fixed-size block of the file; bytes beyond the end read as 0. Returns the
// count actually read.
size_t ReadBlockAt(ParseState& s, int64_t offset, uint8_t* block, size_t n) {
  std::memset(block, 0, n);
  if (offset < 0) return 0;
  s.input.Seek(offset);
  return s.input.Read(block, n);
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool EndsWith(const char* text, const char* suffix) {
  const size_t n = std::strlen(text), m = std::strlen(suffix);
  return n >= m && std::strcmp(text + n - m, suffix) == 0;
}

bool EqualsIgnoringCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
    if (!x) return true;
  }
}

bool PrefixIgnoringCase(const char* text, const char* prefix, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char x = text[i], y = prefix[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
    if (!x) return true;
  }
  return true;
}

// Removes the first n characters of a 64-byte text field.
void DropLeading(char (&field)[64], size_t n) {
  if (n >= sizeof field) n = sizeof field - 1;
  std::memmove(field, field + n, sizeof field - n);
  std::memset(field + sizeof field - n, 0, n);
}

void TrimTrailingBlanks(char (&field)[64]) {
  size_t n = strnlen(field, sizeof field);
  while (n > 0 && field[n - 1] == ' ') field[--n] = 0;
}

// --- Signature tests -------------------------------------------------------

void ReadFujiHeader(ParseState& s) {
  const uint32_t jpeg_offset = ReadBigEndian32At(s, kFujiPreviewOffsetAt);
  const uint32_t jpeg_length = ReadBigEndian32At(s, kFujiPreviewLengthAt);
  ClaimPreview(s, PreviewClaim().Place(jpeg_offset, jpeg_length));
  s.found.raf_header_image.where = "RAF header";  // for the RAF family's rule
  s.found.raf_header_image.offset = jpeg_offset;
  s.found.raf_header_image.length = jpeg_length;
  s.found.container_names_camera = true;
  NoteImage(s, "RAF header", jpeg_offset, jpeg_length);
  const uint32_t directory = ReadBigEndian32At(s, kFujiDirectoryAt);
  NeedPosition(s, directory);
  NeedPosition(s, static_cast<int64_t>(jpeg_offset) + kExifTiffOffset);
  ParseFujiDirectory(s, directory);
  // A second raw frame (the wide-range sensor half) has its own directory,
  // which only the decoders read.
  if (jpeg_offset > kFujiSecondFrameAt && ReadBigEndian32At(s, kFujiSecondFrameAt) != 0)
    s.raw.raw_count = 2;
  s.raw.raw_data_offset = ReadBigEndian32At(s, kFujiRawDataAt);
  // The embedded JPEG's Exif block carries the shot description. Its
  // directories are the preview's own, which stays as stored: they are not
  // recorded as the file's description to copy.
  ParseTiff(s, static_cast<int64_t>(jpeg_offset) + kExifTiffOffset);
  s.found.metadata_directories = MetadataDirectories();
}

void ReadContaxHeader(ParseState& s) {
  SetText(s.shot.make, "Contax");
  SetText(s.shot.model, "N Digital");
  s.input.Seek(33);
  ReadExifTimestamp(s, true);  // the date text is stored last character first
  // The white balance at 60 feeds only colour: no Leaf rule applies to the
  // Contax make.
}

// A camera JPEG: the Exif block is read only when raw data rather than
// another JPEG segment follows the APP1 segment. A JPEG is never its own
// preview.
void ReadExifJpegHeader(ParseState& s) {
  uint8_t length[2] = {0xFF, 0xFF};
  s.input.Seek(4);
  s.input.Read(length, 2);
  s.raw.raw_data_offset = 4 + static_cast<uint32_t>(LoadBigEndian16(length));
  s.input.Seek(s.raw.raw_data_offset);
  if (s.input.Get() != 0xFF) ParseTiff(s, kExifTiffOffset);
  WithdrawPreviewClaim(s);
  s.found.plain_jpeg = true;
}

void MatchHeaderlessSize(ParseState& s) {
  for (const HeaderlessCamera& row : kHeaderlessCameras) {
    if (row.file_size != s.file_size) continue;
    SetText(s.shot.make, row.make);
    SetText(s.shot.model, row.model);
    if (row.sidecar) read_sidecar_metadata(s);
  }
}

void MatchSignature(ParseState& s) {
  int phase_one = FindInHead(s, "MMMM");
  if (phase_one < 0) phase_one = FindInHead(s, "IIII");
  if (phase_one >= 0) {
    ParsePhaseOneHeader(s, static_cast<uint32_t>(phase_one));
    // Behind a TIFF wrapper the preview lives in the TIFF structure.
    if (phase_one != 0) ParseTiff(s, 0);
  } else if (s.byte_order == kLittleEndianMark || s.byte_order == kBigEndianMark) {
    if (HeadHas(s, 6, "HEAPCCDR", 8)) {
      s.found.container_names_camera = true;
      s.raw.raw_data_offset = s.header_length;
      const uint32_t size = static_cast<uint32_t>(s.file_size);
      ParseCiffHeap(s, s.header_length, s.header_length <= size ? size - s.header_length : 0);
    } else {
      ParseTiff(s, 0);
    }
  } else if (HeadHas(s, 0, "\xFF\xD8\xFF\xE1", 4) && HeadHas(s, 6, "Exif", 4)) {
    ReadExifJpegHeader(s);
  } else if (HeadHas(s, 25, "ARECOYK", 7)) {
    ReadContaxHeader(s);
  } else if (HeadTextIs(s, "PXN")) {
    SetText(s.shot.make, "Logitech");
    SetText(s.shot.model, "Fotoman Pixtura");
  } else if (HeadTextIs(s, "qktk")) {
    SetText(s.shot.make, "Apple");
    SetText(s.shot.model, "QuickTake 100");
  } else if (HeadTextIs(s, "qktn")) {
    SetText(s.shot.make, "Apple");
    SetText(s.shot.model, "QuickTake 150");
  } else if (HeadHas(s, 0, "FUJIFILM", 8)) {
    ReadFujiHeader(s);
  } else if (HeadHas(s, 0, "RIFF", 4)) {
    s.input.Seek(0);
    ParseRiffChunk(s);
  } else if (HeadHas(s, 0, "DSC-Image", 9)) {
    ParseRolleiHeader(s);
  } else if (HeadHas(s, 0, "PWAD", 4)) {
    ParseSinarIaHeader(s);
  } else if (HeadHas(s, 0, "\0MRM", 4)) {
    s.found.container_names_camera = true;
    ParseMinoltaBlocks(s, 0);
  } else if (HeadHas(s, 0, "FOVb", 4)) {
    s.found.container_names_camera = true;
    ParseFoveonDirectory(s);
  } else if (HeadHas(s, 0, "CI", 2)) {
    ParseCineHeader(s);
  } else if (IsCr3(s)) {
    s.found.container_names_camera = true;
    ParseCr3File(s);
  } else {
    MatchHeaderlessSize(s);
  }
}

// --- Make and model --------------------------------------------------------

void TerminateTexts(ParseState& s) {
  s.shot.description[sizeof s.shot.description - 1] = 0;
  s.shot.artist[sizeof s.shot.artist - 1] = 0;
  s.shot.make[sizeof s.shot.make - 1] = 0;
  s.shot.model[sizeof s.shot.model - 1] = 0;
  s.shot.model2[sizeof s.shot.model2 - 1] = 0;
}

void NormaliseMakeAndModel(ParseState& s) {
  // Some parsers copy raw bytes into these fields; terminate them before
  // they are searched as text.
  TerminateTexts(s);
  for (const char* name : kMakerNames)
    if (std::strstr(s.shot.make, name)) SetText(s.shot.make, name);
  if (StartsWith(s.shot.make, "KODAK")) {
    s.shot.make[16] = 0;
    s.shot.model[16] = 0;
  }
  TrimTrailingBlanks(s.shot.make);
  TrimTrailingBlanks(s.shot.model);
  // "Canon EOS 350D DIGITAL" under "Canon" is "EOS 350D DIGITAL".
  const size_t make_length = strnlen(s.shot.make, sizeof s.shot.make);
  if (PrefixIgnoringCase(s.shot.model, s.shot.make, make_length) &&
      make_length + 1 < sizeof s.shot.model && s.shot.model[make_length] == ' ')
    DropLeading(s.shot.model, make_length + 1);
  if (StartsWith(s.shot.model, "Digital Camera ")) DropLeading(s.shot.model, 15);
  TerminateTexts(s);
}

// --- Data tests of the camera rules ----------------------------------------

// Some PowerShot S2 IS files are the size of an A610's: their data has
// values above 15 at these sample positions, which an A610's never has.
bool LooksLikePowerShotS2(ParseState& s) {
  for (int64_t offset = 3284; offset < 337284; offset += 3340) {
    s.input.Seek(offset);
    if (s.input.Get() > 15) return true;
  }
  return false;
}

// Nikon data stored with the compressed tag but actually uncompressed: the
// D100 writes it that way, recognisable by all-zero bytes at the end of each
// 16-byte group.
bool NikonDataIsCompressed(ParseState& s) {
  if (s.raw.compression != 34713) return false;
  if (std::strcmp(s.shot.model, "D100") != 0) return true;
  uint8_t block[256];
  ReadBlockAt(s, s.raw.raw_data_offset, block, sizeof block);
  for (size_t i = 15; i < sizeof block; i += 16)
    if (block[i]) return true;
  return false;
}

// The E995's sidecar-less files end in a test pattern of four byte values.
bool EndsLikeE995(ParseState& s) {
  constexpr size_t kTail = 2000;
  uint8_t block[kTail];
  const size_t got = ReadBlockAt(s, static_cast<int64_t>(s.file_size) - kTail, block, kTail);
  unsigned counts[256] = {};
  for (size_t i = 0; i < got; ++i) ++counts[block[i]];
  return counts[0x00] >= 200 && counts[0x55] >= 200 && counts[0xAA] >= 200 && counts[0xFF] >= 200;
}

// An E2100's packed samples have these bits set in every 12-byte group; an
// E2500 file of the same size does not.
bool DataLooksLikeE2100(ParseState& s) {
  constexpr size_t kGroup = 12, kGroups = 1024;
  uint8_t block[kGroup * kGroups];
  ReadBlockAt(s, 0, block, sizeof block);
  for (size_t g = 0; g < kGroups; ++g) {
    const uint8_t* b = block + g * kGroup;
    const unsigned low = b[1] & b[6] & b[8] & b[11] & 3;
    const unsigned high = ((b[2] & b[4] & b[7] & b[9]) >> 4) & 3;
    if (low != 3 || high != 3) return false;
  }
  return true;
}

// Four cameras share the size 4775936; two bits of two bytes of the block at
// 3072 tell them apart.
void IdentifyBy4775936Code(ParseState& s) {
  struct Camera {
    int code;
    const char* make;
    const char* model;
  };
  static constexpr Camera kCameras[] = {
      {0, "PENTAX", "Optio 33WR"},
      {3, "NIKON", "E3200"},
      {50, "NIKON", "E3700"},
      {51, "OLYMPUS", "C740UZ"},
  };
  uint8_t block[24];
  ReadBlockAt(s, 3072, block, sizeof block);
  const int code = ((block[8] & 3) << 4) | (block[20] & 3);
  for (const Camera& camera : kCameras) {
    if (camera.code != code) continue;
    SetText(s.shot.make, camera.make);
    SetText(s.shot.model, camera.model);
  }
}

bool TailHasNonZero(ParseState& s, size_t n) {
  uint8_t block[424];
  if (n > sizeof block) n = sizeof block;
  const size_t got =
      ReadBlockAt(s, static_cast<int64_t>(s.file_size) - static_cast<int64_t>(n), block, n);
  for (size_t i = 0; i < got; ++i)
    if (block[i]) return true;
  return false;
}

// Headerless 16-bit data of unknown byte order: the order in which
// neighbouring samples differ less is the one the data was written in.
bool GuessBigEndianSamples(ParseState& s, int64_t offset) {
  constexpr size_t kProbeBytes = 4096;
  uint8_t block[kProbeBytes];
  const size_t got = ReadBlockAt(s, offset, block, kProbeBytes);
  uint64_t little_change = 0, big_change = 0;
  for (size_t i = 2; i + 1 < got; i += 2) {
    const int little_now = LoadLittleEndian16(block + i);
    const int little_before = LoadLittleEndian16(block + i - 2);
    const int big_now = LoadBigEndian16(block + i);
    const int big_before = LoadBigEndian16(block + i - 2);
    little_change += static_cast<uint64_t>(little_now > little_before ? little_now - little_before
                                                                      : little_before - little_now);
    big_change +=
        static_cast<uint64_t>(big_now > big_before ? big_now - big_before : big_before - big_now);
  }
  return big_change < little_change;
}

// --- The camera rules ------------------------------------------------------

// A rule matched: it names the decoder for the camera's data, so one is
// chosen from here on.
void Matched(ParseState& s) {
  if (s.raw.raw_decoder == RawDecoder::None) s.raw.raw_decoder = RawDecoder::Generic;
}

// Leaf backs, told apart by their frame size.
void ApplyLeafRule(ParseState& s) {
  const unsigned width = s.raw.image_width, height = s.raw.image_height;
  if ((width | height) == 2048) {
    SetText(s.shot.model, s.raw.samples_per_pixel == 1 ? "CatchLight" : "DCB2");
  } else if (width + height == 5204) {
    if (!s.shot.model[0]) SetText(s.shot.model, "Cantare");
    // A back that recorded its white balance, other than a Valeo, stores one
    // raw image per sample.
    if (s.raw.first_camera_multiplier != 0 && s.shot.model[0] != 'V')
      s.raw.raw_count = s.raw.samples_per_pixel;
  } else if (width == 2116 || width == 3171) {
    SetText(s.shot.model, "Valeo 6");
  }
  Matched(s);
}

void ApplyMinoltaRule(ParseState& s) {
  const char* m = s.shot.model;
  if (StartsWith(m, "DiMAGE A") || std::strcmp(m, "DiMAGE A200") == 0 || StartsWith(m, "ALPHA") ||
      StartsWith(m, "DYNAX") || StartsWith(m, "MAXXUM") ||
      (StartsWith(m, "DiMAGE G") && (m[8] == '4' || m[8] == '5' || m[8] == '6')))
    Matched(s);
}

void ApplyOlympusRule(ParseState& s) {
  const char* m = s.shot.model;
  if (std::strcmp(m, "SP550UZ") == 0) {
    // The preview runs from a fixed offset to the end of the file; a file
    // that ends before that offset has none.
    if (s.file_size > static_cast<int32_t>(kSp550PreviewOffset)) {
      const uint32_t length = static_cast<uint32_t>(s.file_size) - kSp550PreviewOffset;
      ClaimPreview(s, PreviewClaim().Place(kSp550PreviewOffset, length).Size(640, 480));
      NoteImage(s, "SP-550UZ preview", kSp550PreviewOffset, length);
    } else {
      ClaimPreview(s, PreviewClaim().Place(0, 0));
    }
    return Matched(s);
  }
  for (const char* model : {"E-1", "E-400", "E-10", "E-300", "E-500", "E-330", "E-410", "E-510"})
    if (std::strcmp(m, model) == 0) Matched(s);
  if (StartsWith(m, "E-20")) Matched(s);
}

void ApplyKodakRule(ParseState& s) {
  const char* m = s.shot.model;
  if (std::strcmp(m, "DCS200") == 0) {
    // Its thumbnail is three 8-bit planes, the first two swapped.
    ClaimPreview(s, PreviewClaim().Offset(6144).Kind(PreviewKind::Layered).Size(192, 128));
    return Matched(s);
  }
  if (std::strstr(m, "DC120") && !std::strstr(m, "DC25") && !StartsWith(m, "DC2") &&
      !std::strstr(m, "DC50")) {
    // Its JPEG-compressed variant cannot be decoded, which the final raw
    // check turns into "not raw".
    if (s.raw.compression == 7) {
      s.raw.raw_decoder = RawDecoder::KodakJpegCompressed;
      return;
    }
    return Matched(s);
  }
  for (const char* model :
       {"EOSDCS3B", "EOSDCS1", "DCS420", "DCS460", "DCS460A", "DCS660M", "DCS760M", "40"})
    if (std::strcmp(m, model) == 0) return Matched(s);
  if (StartsWith(m, "NC2000") || std::strstr(m, "DC25") || StartsWith(m, "DC2") ||
      std::strstr(m, "DC50"))
    Matched(s);
}

// The per-camera rules, first match wins. Returns after the matching rule.
void ApplyCameraRules(ParseState& s) {
  const char* m = s.shot.model;
  const char* make = s.shot.make;
  auto model_is = [&](const char* name) { return std::strcmp(m, name) == 0; };
  auto model_starts = [&](const char* prefix) { return StartsWith(m, prefix); };
  auto make_is = [&](const char* name) { return std::strcmp(make, name) == 0; };
  auto size_is = [&](int32_t size) { return s.file_size == size; };
  const bool canon = make_is("Canon");
  auto canon_width = [&](std::initializer_list<int> widths) {
    if (!canon) return false;
    for (int w : widths)
      if (s.raw.raw_width == w) return true;
    return false;
  };

  if (model_is("PowerShot 600") || model_is("PowerShot A5") || model_is("PowerShot A5 Zoom") ||
      model_is("PowerShot A50") || model_is("PowerShot Pro70"))
    return Matched(s);
  if (model_is("PowerShot A610")) {
    if (LooksLikePowerShotS2(s)) SetText(s.shot.model, "PowerShot S2 IS");
    return Matched(s);
  }
  for (const char* name : {"PowerShot A620", "PowerShot A630", "PowerShot A640", "PowerShot S3 IS",
                           "PowerShot Pro90 IS"})
    if (model_is(name)) return Matched(s);
  if (canon_width({2144, 2224, 2376, 2672, 3152, 3160})) return Matched(s);
  if (model_is("EOS D2000C")) return Matched(s);
  if (canon_width({3516, 3596, 3948, 3984, 4476, 5108})) return Matched(s);

  if (model_is("D1") || model_is("D1X") || model_starts("D40") || model_starts("D50") ||
      model_starts("D70") || model_is("D80") || model_is("D100") || model_is("D200") ||
      model_starts("D2H") || model_is("D2X"))
    return Matched(s);
  if (size_is(1581060) || size_is(2465792)) return Matched(s);
  if (size_is(4771840)) {
    if (!s.shot.timestamp && EndsLikeE995(s)) SetText(s.shot.model, "E995");
    return Matched(s);
  }
  if (model_is("E2100")) {
    if (!s.shot.timestamp && !DataLooksLikeE2100(s)) SetText(s.shot.model, "E2500");
    return Matched(s);
  }
  if (model_is("E2500")) return Matched(s);
  if (size_is(4775936)) {
    if (!s.shot.timestamp) IdentifyBy4775936Code(s);
    if (model_is("Optio 33WR")) s.shot.orientation = 1;
    return Matched(s);
  }
  if (size_is(5869568)) {
    if (!s.shot.timestamp && TailHasNonZero(s, 424)) {
      SetText(s.shot.make, "Minolta");
      SetText(s.shot.model, "DiMAGE Z2");
    }
    return Matched(s);
  }
  if (model_is("E4500") || size_is(7438336)) return Matched(s);

  if (model_is("FinePix S5100") || model_is("FinePix S5500")) return Matched(s);
  if (model_starts("FinePix")) {
    if (std::strcmp(m + 7, "S2Pro") == 0) SetText(s.shot.model, "FinePix S2Pro");
    // The S2 Pro's sensor is mounted on its side.
    if (EndsWith(m, " S2Pro")) s.shot.orientation = 6;
    return Matched(s);
  }
  if (model_is("RD175") || model_is("KD-400Z") || model_is("KD-510Z")) return Matched(s);
  if (EqualsIgnoringCase(make, "MINOLTA")) return ApplyMinoltaRule(s);
  if (model_is("*ist DS") || model_is("Optio S") || size_is(6114240) || model_is("Optio 750Z"))
    return Matched(s);
  if (model_is("STV680 VGA")) {
    s.shot.orientation = 2;
    return Matched(s);
  }
  for (const char* name :
       {"KAI-0340", "531C", "F-145C", "F-201C", "F-510C", "F-810C", "XCD-SX910CR", "2010", "A782"})
    if (model_is(name)) return Matched(s);
  if (model_is("3320AF")) {
    if (GuessBigEndianSamples(s, 0x300000)) {
      s.byte_order = kBigEndianMark;
      SetText(s.shot.make, "ISG");
      s.shot.model[0] = 0;
    } else {
      s.byte_order = kLittleEndianMark;
    }
    return Matched(s);
  }
  if (make_is("Hasselblad")) return Matched(s);
  if (make_is("Sinar")) {
    if (HeadHas(s, 0, "8BPS", 4)) {
      // A Photoshop-style header: big-endian height and width at 14.
      const uint32_t height = ReadBigEndian32At(s, 14);
      const uint32_t width = ReadBigEndian32At(s, 18);
      s.raw.raw_height = s.raw.image_height = static_cast<uint16_t>(height);
      s.raw.raw_width = s.raw.image_width = static_cast<uint16_t>(width);
      s.raw.raw_data_offset = 68;
    }
    return Matched(s);
  }
  if (make_is("Leaf")) return ApplyLeafRule(s);
  if (make_is("LEICA") || make_is("Panasonic")) {
    for (int w : {2568, 3130, 3170, 3177, 3304, 3690, 3770, 3880, 4290, 4330})
      if (s.raw.image_width == w) return Matched(s);
  }
  if (model_is("C770UZ")) return Matched(s);
  if (make_is("OLYMPUS")) return ApplyOlympusRule(s);
  if (model_is("N Digital") || model_is("DSC-F828") || model_is("DSC-V3")) return Matched(s);
  if (make_is("SONY") && s.raw.raw_width == 3984) return Matched(s);
  if (model_is("DSLR-A100") || model_starts("P850") || model_is("C330")) return Matched(s);
  if (EqualsIgnoringCase(make, "KODAK")) return ApplyKodakRule(s);
  if (model_is("Fotoman Pixtura") || model_is("QuickTake 100") || model_is("QuickTake 150"))
    return Matched(s);
  if (make_is("Rollei") && s.raw.raw_decoder == RawDecoder::None) {
    s.raw.raw_decoder = RawDecoder::Rollei;
    return;
  }
  if (model_is("PC-CAM 600") || model_is("QV-2000UX") || size_is(3217760)) return Matched(s);
  for (const char* name :
       {"QV-4000", "QV-5700", "QV-R41", "QV-R51", "EX-S100", "EX-Z50", "EX-Z55", "EX-P505"})
    if (model_is(name)) return Matched(s);
  if (size_is(9313536) || model_is("EX-P700")) return Matched(s);
}

// --- The raw decision ------------------------------------------------------

void CompleteDescription(ParseState& s) {
  if (!s.shot.model[0])
    std::snprintf(s.shot.model, sizeof s.shot.model, "%dx%d", s.raw.image_width,
                  s.raw.image_height);
  const RulesPreview preview = RulesChoice(s);
  if (preview.offset && !preview.height) {
    s.input.Seek(preview.offset);
    JpegFrameHeader info;
    if (probe_jpeg_header(s, &info))
      ClaimPreview(s, PreviewClaim().Size(static_cast<uint16_t>(info.width),
                                          static_cast<uint16_t>(info.height)));
  }
}

void FinalRawChecks(ParseState& s) {
  if (!s.raw.raw_by_container &&
      (s.raw.raw_decoder == RawDecoder::None || s.raw.image_height < kMinimumRawHeight))
    MarkNotRaw(s, NoPreviewReason::kNoRawImage);
  if (s.raw.raw_decoder == RawDecoder::KodakJpegCompressed) {
    Diagnose(s, "Kodak JPEG-compressed raw data is not supported\n");
    MarkNotRaw(s, NoPreviewReason::kNoRawImage);
  }
  if (!s.raw.raw_height) s.raw.raw_height = s.raw.image_height;
  if (!s.raw.raw_width) s.raw.raw_width = s.raw.image_width;
}

// Returns false when the completion step is to be skipped (DNG).
bool DecideRawGeometry(ParseState& s) {
  if (!s.raw.image_height) s.raw.image_height = s.raw.raw_height;
  if (!s.raw.image_width) s.raw.image_width = s.raw.raw_width;
  if (s.raw.fuji_rotated_width) {
    // A 45-degree sensor layout: the visible frame is the rotated diamond.
    s.raw.image_width = static_cast<uint16_t>(s.raw.image_height + s.raw.fuji_rotated_width);
    s.raw.image_height = static_cast<uint16_t>(s.raw.image_width - 1);
  }
  if (s.raw.image_width == 3936 && s.raw.image_height == 2624) {
    s.raw.image_width = 3896;
    s.raw.image_height = 2616;
  }
  if (s.raw.dng_version) {
    // A DNG with a colour filter layout holds one raw image per sample.
    if (s.raw.filter_pattern == 0xFFFFFFFF) s.raw.filter_pattern = 0;
    if (s.raw.filter_pattern) s.raw.raw_count = s.raw.samples_per_pixel;
    if (s.raw.compression == 1) s.raw.raw_decoder = RawDecoder::DngUncompressed;
    if (s.raw.compression == 7) s.raw.raw_decoder = RawDecoder::DngLosslessJpeg;
    return false;
  }
  if (std::strcmp(s.shot.make, "Canon") == 0)
    s.raw.raw_decoder = HeadHas(s, 6, "HEAPCCDR", 8) ? RawDecoder::CiffCompressed
                        : IsCr3(s)                   ? RawDecoder::CanonCr3
                                                     : RawDecoder::LosslessJpeg;
  if (std::strcmp(s.shot.make, "NIKON") == 0)
    s.raw.raw_decoder =
        NikonDataIsCompressed(s) ? RawDecoder::NikonCompressed : RawDecoder::NikonUncompressed;
  if (s.raw.foveon) {
    s.raw.raw_decoder = RawDecoder::Foveon;
  } else {
    ApplyCameraRules(s);
  }
  return true;
}

}  // namespace

void IdentifyFile(ParseState& s) {
  ResetParseState(s);
  MatchSignature(s);

  if (!s.shot.make[0]) ParseSmalHeader(s, 0, static_cast<uint32_t>(s.file_size));
  if (!s.shot.make[0]) {
    // Not a camera container: an ordinary JPEG may still describe the shot.
    s.found.plain_jpeg = HeadHas(s, 0, "\xFF\xD8\xFF", 3);
    MarkNotRaw(
        s, s.found.plain_jpeg ? NoPreviewReason::kPlainJpeg : NoPreviewReason::kUnknownContainer);
    WalkJpegSegments(s, 0);
  }

  NormaliseMakeAndModel(s);

  if (s.raw.raw_count) {
    if (DecideRawGeometry(s)) CompleteDescription(s);
    ApplyContainerFamilyRules(s);
    FinalRawChecks(s);
  }

  if (s.shot.orientation == -1) s.shot.orientation = s.tiff_orientation;
  if (s.shot.orientation == -1) s.shot.orientation = 0;
}

}  // namespace engine
