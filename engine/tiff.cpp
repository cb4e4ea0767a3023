// TIFF and Exif directories and the choice of raw image and preview.
#include "engine/parsers.h"

namespace engine {

uint32_t TiffTypeSize(uint32_t type) { return "11124811248484"[type < 14 ? type : 0] - '0'; }

TiffEntry ReadTiffEntry(ParseState& s, int64_t base) {
  TiffEntry e;
  e.tag = read_u16(s);
  e.type = read_u16(s);
  e.count = read_u32(s);
  e.resume = s.input.Tell() + 4;
  if (static_cast<uint32_t>(e.count * TiffTypeSize(e.type)) > 4) s.input.Seek(base + read_u32(s));
  return e;
}

void ParseTiff(ParseState&, int64_t) {}
int ParseTiffDirectory(ParseState&, int64_t) { return 0; }
void ParseExifDirectory(ParseState&, int64_t) {}
void ReadExifTimestamp(ParseState&, bool) {}
void ReadLinearizationTable(ParseState&, uint32_t) {}
bool probe_jpeg_header(ParseState&, JpegHeaderInfo*) { return false; }

}  // namespace engine
