// Rollei, Sinar IA, RIFF, SMaL and CINE: containers without a JPEG preview.
//
// None of these files ever yields a JPEG; they are parsed so that the camera
// is named and the file classified (Rollei and Sinar IA keep bitmap previews,
// RIFF files only give a capture date).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/limits.h"
#include "engine/parsers.h"

namespace engine {
namespace {

// Seconds since 1970 of a local calendar time, or 0 when the conversion
// fails or falls before 1970 (0 means "no date" to the rest of the engine).
int64_t LocalTimestamp(int year, int month0, int day, int hour, int minute, int second) {
  std::tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month0;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;  // the zone's rules decide whether summer time applies
  const std::time_t seconds = std::mktime(&t);
  return seconds > 0 ? static_cast<int64_t>(seconds) : 0;
}

// --- Rollei ---

// Reads one header line (up to and including its newline) into line, keeping
// at most kRolleiLineSize - 1 characters; the rest of a longer line is
// consumed so that it cannot be mistaken for further lines. False at the end
// of the file when nothing was read.
bool ReadRolleiLine(ParseState& s, char (&line)[kRolleiLineSize]) {
  size_t kept = 0;
  bool any = false;
  for (int c; (c = s.input.Get()) >= 0;) {
    any = true;
    if (kept + 1 < kRolleiLineSize) line[kept++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[kept] = 0;
  return any;
}

// --- RIFF ---

constexpr int64_t kRiffChunkHeaderSize = 8;

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void ReadIditDate(ParseState& s, uint32_t size) {
  char text[kMaxIditText + 1] = {};
  s.input.Read(text, size);
  char month_name[16] = {};
  int day = 0, hour = 0, minute = 0, second = 0, year = 0;
  if (std::sscanf(text, "%*s %15s %d %d:%d:%d %d", month_name, &day, &hour, &minute, &second,
                  &year) != 6)
    return;
  for (int month = 0; month < 12; ++month) {
    if (!std::strcmp(month_name, kMonthNames[month])) {
      const int64_t t = LocalTimestamp(year, month, day, hour, minute, second);
      if (t > 0) s.shot.timestamp = t;
      return;
    }
  }
  // An unknown month name gives no date rather than a guessed one.
}

void WalkRiffChunk(ParseState& s, int depth) {
  const int64_t start = s.input.Tell();
  char tag[4];
  if (start + kRiffChunkHeaderSize > s.input.Size() || s.input.Read(tag, 4) != 4) {
    s.input.Seek(s.input.Size());  // no chunk header left: the walk ends
    return;
  }
  const uint32_t size = read_u32(s);
  const int64_t data = start + kRiffChunkHeaderSize;
  const int64_t end = data + size;
  const bool is_list = !std::memcmp(tag, "RIFF", 4) || !std::memcmp(tag, "LIST", 4);
  if (is_list && depth < kMaxRiffDepth) {
    s.input.SeekRelative(4);  // form type
    // Every chunk moves the position forward by at least its header.
    while (s.input.Tell() < end && s.input.Tell() < s.input.Size()) WalkRiffChunk(s, depth + 1);
    return;
  }
  if (!is_list && !std::memcmp(tag, "IDIT", 4) && size < kMaxIditText) ReadIditDate(s, size);
  s.input.Seek(end);
}

// --- CINE ---

constexpr uint32_t kCineColorFilterMask = 0xFFFFFF;

}  // namespace

void ParseRolleiHeader(ParseState& s) {
  s.input.Seek(0);
  int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
  char line[kRolleiLineSize];
  while (ReadRolleiLine(s, line)) {
    char* value = std::strchr(line, '=');
    if (value)
      *value++ = 0;
    else
      value = line + std::strlen(line);
    if (!std::strcmp(line, "DAT")) std::sscanf(value, "%d.%d.%d", &day, &month, &year);
    if (!std::strcmp(line, "TIM")) std::sscanf(value, "%d:%d:%d", &hour, &minute, &second);
    if (!std::strcmp(line, "HDR"))
      ClaimPreview(s, PreviewClaim().Offset(static_cast<uint32_t>(std::atoi(value))));
    if (!std::strcmp(line, "X  ")) s.raw.raw_width = static_cast<uint16_t>(std::atoi(value));
    if (!std::strcmp(line, "Y  ")) s.raw.raw_height = static_cast<uint16_t>(std::atoi(value));
    if (!std::strcmp(line, "TX "))
      ClaimPreview(s, PreviewClaim().Width(static_cast<uint16_t>(std::atoi(value))));
    if (!std::strcmp(line, "TY "))
      ClaimPreview(s, PreviewClaim().Height(static_cast<uint16_t>(std::atoi(value))));
    if (!std::strncmp(line, "EOHD", 4)) break;
  }
  // The preview bitmap (2 bytes a pixel) comes first, the raw data after it.
  const RulesPreview bitmap = RulesChoice(s);
  s.raw.raw_data_offset = bitmap.offset + static_cast<uint32_t>(bitmap.width) * bitmap.height * 2u;
  const int64_t t = LocalTimestamp(year, month - 1, day, hour, minute, second);
  if (t > 0) s.shot.timestamp = t;
  SetText(s.shot.make, "Rollei");
  SetText(s.shot.model, "d530flex");
  ClaimPreview(s, PreviewClaim().Kind(PreviewKind::Rollei));
}

void ParseSinarIaHeader(ParseState& s) {
  constexpr int64_t kEntrySize = 16;
  s.byte_order = kLittleEndianMark;
  s.input.Seek(4);
  uint32_t entries = read_u32(s);
  const int64_t table = read_u32(s);
  // Only as many entries as the file can hold.
  const int64_t room = s.input.Size() - table;
  const int64_t fit = room > 0 ? room / kEntrySize : 0;
  if (entries > fit) entries = static_cast<uint32_t>(fit);
  // The META block names the camera and gives the sizes (from its start
  // when the table names no such block).
  uint32_t meta_offset = 0;
  s.input.Seek(table);
  for (uint32_t i = 0; i < entries; ++i) {
    const uint32_t offset = read_u32(s);
    read_u32(s);
    char name[9] = {};
    s.input.Read(name, 8);
    if (!std::strcmp(name, "META")) meta_offset = offset;
    if (!std::strcmp(name, "THUMB")) ClaimPreview(s, PreviewClaim().Offset(offset));
    if (!std::strcmp(name, "RAW0")) s.raw.raw_data_offset = offset;
  }
  s.input.Seek(static_cast<int64_t>(meta_offset) + 20);
  s.input.Read(s.shot.make, sizeof s.shot.make);
  s.shot.make[sizeof s.shot.make - 1] = 0;
  if (char* blank = std::strchr(s.shot.make, ' ')) {
    SetText(s.shot.model, blank + 1);
    *blank = 0;
  }
  s.raw.raw_width = read_u16(s);
  s.raw.raw_height = read_u16(s);
  s.input.SeekRelative(4);
  const uint16_t thumb_width = read_u16(s);
  const uint16_t thumb_height = read_u16(s);
  ClaimPreview(s, PreviewClaim().Size(thumb_width, thumb_height));
  s.raw.raw_decoder = RawDecoder::Unpacked;
  ClaimPreview(s, PreviewClaim().Kind(PreviewKind::PackedRgb));
}

void ParseRiffChunk(ParseState& s) {
  s.byte_order = kLittleEndianMark;
  WalkRiffChunk(s, 0);
}

void ParseSmalHeader(ParseState& s, uint32_t offset, uint32_t file_size) {
  // A failed test leaves the state exactly as it was, byte order included:
  // the file then goes on to the JPEG fallback.
  const uint16_t previous_order = s.byte_order;
  s.byte_order = kLittleEndianMark;
  s.input.Seek(static_cast<int64_t>(offset) + 2);
  const int version = s.input.Get();
  if (version == 6) s.input.SeekRelative(5);
  if (read_u32(s) != file_size) {
    s.byte_order = previous_order;
    return;
  }
  if (version > 6) s.raw.raw_data_offset = read_u32(s);
  s.raw.raw_height = s.raw.image_height = read_u16(s);
  s.raw.raw_width = s.raw.image_width = read_u16(s);
  SetText(s.shot.make, "SMaL");
  std::snprintf(s.shot.model, sizeof s.shot.model, "v%d %dx%d", version, s.raw.image_width,
                s.raw.image_height);
  if (version == 6 || version == 9) s.raw.raw_decoder = RawDecoder::Smal;
}

void ParseCineHeader(ParseState& s) {
  s.byte_order = kLittleEndianMark;
  s.input.Seek(4);
  s.raw.raw_count = read_u16(s) == 2 ? 1 : 0;
  s.input.Seek(20);
  s.raw.raw_count *= read_u32(s);
  const int64_t image_header = read_u32(s);
  const int64_t setup = read_u32(s);
  const int64_t offset_table = read_u32(s);
  const uint32_t fraction_time = read_u32(s);
  const uint32_t seconds_time = read_u32(s);
  s.shot.timestamp = seconds_time ? seconds_time : fraction_time;

  s.input.Seek(image_header + 4);
  s.raw.raw_width = static_cast<uint16_t>(read_u32(s));
  s.raw.raw_height = static_cast<uint16_t>(read_u32(s));
  s.input.Seek(image_header + 14);
  switch (read_u16(s)) {
    case 8:
      s.raw.raw_decoder = RawDecoder::Eight_bit;
      break;
    case 16:
      s.raw.raw_decoder = RawDecoder::Unpacked;
      break;
    default:
      break;
  }

  s.input.Seek(setup + 792);
  SetText(s.shot.make, "CINE");
  std::snprintf(s.shot.model, sizeof s.shot.model, "%u", static_cast<unsigned>(read_u32(s)));
  // The colour filter layout: only the two Bayer layouts hold raw data the
  // rules know (which of them does not matter here).
  s.input.Seek(setup + 808);
  const uint32_t color_filter = read_u32(s) & kCineColorFilterMask;
  if (color_filter != 3 && color_filter != 4) s.raw.raw_count = 0;
  // White balance (at 852) feeds only colour.
  s.input.Seek(setup + 892);
  // Stored frames are bottom-up, so each rotation also flips the image.
  switch ((read_u32(s) + 3600u) % 360u) {
    case 0:
      s.shot.orientation = 2;
      break;
    case 90:
      s.shot.orientation = 7;
      break;
    case 180:
      s.shot.orientation = 1;
      break;
    case 270:
      s.shot.orientation = 4;
      break;
    default:
      break;
  }
  // The bit depth (at 904) feeds only raw decoding.
  s.input.Seek(setup + 1576);
  s.shot.shutter = static_cast<float>(read_u32(s) / 1000000000.0);
  s.input.Seek(offset_table);
  s.raw.raw_data_offset = read_u32(s) + 8;
}

}  // namespace engine
