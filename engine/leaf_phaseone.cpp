// Leaf MOS packets and the Phase One header.
//
// Leaf backs keep their metadata as a chain of named packets inside TIFF tag
// 34310; one packet holds the JPEG preview. Phase One files carry a small
// tagged directory (the "Raw" header) at the start of the file or just behind
// a TIFF wrapper; it describes the raw frame and names the camera.
#include <cstdlib>
#include <cstring>
#include <set>

#include "engine/limits.h"
#include "engine/parsers.h"

namespace engine {
namespace {

// "PKTS" as a 32-bit value in the byte order of the surrounding TIFF file.
constexpr uint32_t kPacketMark = 0x504b5453;
constexpr int64_t kPacketNameSize = 40;
// Mark, an unused value, the name and the data length.
constexpr int64_t kPacketHeaderSize = 4 + 4 + kPacketNameSize + 4;

// Leaf back names by the "ShootObj_back_type" number.
constexpr int kLeafBackCount = 18;
const char* const kLeafBackNames[kLeafBackCount] = {
    "",         "DCB2",     "Volare",    "Cantare",   "CMost",     "Valeo 6",
    "Valeo 11", "Valeo 22", "Valeo 11p", "Valeo 17",  "",          "Aptus 17",
    "Aptus 22", "Aptus 75", "Aptus 65",  "Aptus 54S", "Aptus 65S", "Aptus 75S"};

// Filter-pattern bytes of the four rotations of the Leaf mosaic.
const uint8_t kMosaicPatterns[4] = {0x94, 0x61, 0x16, 0x49};

// The data of a text packet, read once and scanned number by number. Scanning
// stops at the packet's end, so a number never runs on into the next packet.
class PacketText {
 public:
  PacketText(ParseState& s, uint32_t length) {
    const size_t wanted = length < kMaxPacketText ? length : kMaxPacketText;
    const size_t got = s.input.Read(text_, wanted);
    text_[got] = 0;
    cursor_ = text_;
  }
  // Free-format scanning as a decimal reader would: leading blanks skipped.
  bool NextInt(long* value) {
    char* end = nullptr;
    const long v = std::strtol(cursor_, &end, 10);
    if (end == cursor_) return false;
    cursor_ = end;
    *value = v;
    return true;
  }
  bool NextFloat(double* value) {
    char* end = nullptr;
    const double v = std::strtod(cursor_, &end);
    if (end == cursor_) return false;
    cursor_ = end;
    *value = v;
    return true;
  }

 private:
  char text_[kMaxPacketText + 1];
  char* cursor_;
};

// What one chain remembers until its end, where it sets the filter pattern.
struct ChainState {
  long planes = 0;
  int mosaic_rotation = 0;
};

void ApplyPacket(ParseState& s, ChainState& chain, const char* name, int64_t data,
                 uint32_t length) {
  const uint32_t data_offset = static_cast<uint32_t>(data);
  if (!std::strcmp(name, "JPEG_preview_data")) {
    ClaimPreview(s, PreviewClaim().Place(data_offset, length));
    NoteImage(s, "JPEG_preview_data", data_offset, length);
  } else if (!std::strcmp(name, "ShootObj_back_type")) {
    long index = 0;
    // A negative or too large number names no back we know of.
    if (PacketText(s, length).NextInt(&index) && index >= 0 && index < kLeafBackCount)
      SetText(s.shot.model, kLeafBackNames[index]);
  } else if (!std::strcmp(name, "CaptProf_number_of_planes")) {
    long planes = 0;
    if (PacketText(s, length).NextInt(&planes)) chain.planes = planes;
  } else if (!std::strcmp(name, "CaptProf_raw_data_rotation")) {
    long degrees = 0;
    if (PacketText(s, length).NextInt(&degrees)) s.shot.orientation = static_cast<int32_t>(degrees);
  } else if (!std::strcmp(name, "CaptProf_mosaic_pattern")) {
    PacketText text(s, length);
    long cell = 0;
    for (int c = 0; c < 4 && text.NextInt(&cell); ++c)
      if (cell == 1) chain.mosaic_rotation = c ^ (c >> 1);
  } else if (!std::strcmp(name, "ImgProf_rotation_angle")) {
    // The image rotation is relative to the raw data's. Before any raw
    // rotation is known (-1, not set) the data counts as unrotated.
    long degrees = 0;
    if (PacketText(s, length).NextInt(&degrees)) {
      const int32_t raw_rotation = s.shot.orientation == -1 ? 0 : s.shot.orientation;
      s.shot.orientation = static_cast<int32_t>(degrees) - raw_rotation;
    }
  } else if (!std::strcmp(name, "NeutObj_neutrals")) {
    // Four numbers: a reference, then the red, green and blue neutrals; the
    // first multiplier is the reference over the red one.
    if (s.raw.first_camera_multiplier != 0) return;
    PacketText text(s, length);
    double neutral[4] = {};
    int found = 0;
    while (found < 4 && text.NextFloat(&neutral[found])) ++found;
    if (found < 4) return;
    s.raw.first_camera_multiplier = static_cast<float>(neutral[0] / neutral[1]);
  }
  // The colour profile and matrices (icc_camera_profile,
  // icc_camera_to_tone_matrix, CaptProf_color_matrix) feed only colour.
}

// Walks the chain at `position`; packets must lie before `end` (the parent
// packet's data end for a nested chain, the file's end for the outer one).
void WalkPacketChain(ParseState& s, int64_t position, int64_t end, int depth,
                     std::set<int64_t>& visited) {
  ChainState chain;
  int64_t packet = position;
  while (packet + kPacketHeaderSize <= end && visited.insert(packet).second) {
    s.input.Seek(packet);
    if (read_u32(s) != kPacketMark) break;
    read_u32(s);
    char name[kPacketNameSize + 1] = {};
    s.input.Read(name, kPacketNameSize);
    const uint32_t length = read_u32(s);
    const int64_t data = s.input.Tell();
    // A zero-length packet has nothing to act on, and its "data" would be
    // the next packet, walked a second time as a nested chain.
    if (length == 0) break;
    ApplyPacket(s, chain, name, data, length);
    const int64_t data_end = data + length;  // 64-bit: a length never wraps
    if (depth + 1 < kMaxPacketDepth) {
      const int64_t nested_end = data_end < end ? data_end : end;
      WalkPacketChain(s, data, nested_end, depth + 1, visited);
    }
    if (data_end <= packet) break;  // does not advance
    packet = data_end;
  }
  if (chain.planes) {
    const int rotation = (s.shot.orientation / 90 + chain.mosaic_rotation) & 3;
    s.raw.filter_pattern = chain.planes == 1 ? kMosaicPatterns[rotation] * 0x01010101u : 0;
  }
}

// Phase One directory entries are 16 bytes: tag, type, length, data.
constexpr int64_t kPhaseOneEntrySize = 16;
constexpr uint32_t kPhaseOneRawMark = 0x526177;  // "Raw" above the low byte

}  // namespace

void ParseMosPackets(ParseState& s, uint32_t position) {
  std::set<int64_t> visited;
  WalkPacketChain(s, position, s.input.Size(), 0, visited);
}

void ParsePhaseOneHeader(ParseState& s, uint32_t base) {
  const int64_t b = base;
  s.input.Seek(b);
  s.byte_order = static_cast<uint16_t>(read_u32(s) & 0xFFFF);
  if (read_u32(s) >> 8 != kPhaseOneRawMark) return;
  const int64_t directory = b + read_u32(s);
  s.input.Seek(directory);
  uint32_t entries = read_u32(s);
  read_u32(s);
  // The count is only believed as far as the file can hold entries.
  const int64_t first_entry = directory + 8;
  const int64_t room = s.input.Size() - first_entry;
  const int64_t fit = room > 0 ? room / kPhaseOneEntrySize : 0;
  if (entries > fit) entries = static_cast<uint32_t>(fit);

  for (uint32_t i = 0; i < entries; ++i) {
    const uint32_t tag = read_u32(s);
    read_u32(s);  // type
    read_u32(s);  // length
    const uint32_t data = read_u32(s);
    const int64_t resume = s.input.Tell();
    const int64_t at = b + data;  // where the data field is an offset
    s.input.Seek(at);
    switch (tag) {
      case 0x100:
        s.shot.orientation = "0653"[data & 3] - '0';
        break;
      case 0x107:
        // White balance: three floats, the first multiplier first.
        s.raw.first_camera_multiplier = static_cast<float>(read_real(s, 11));
        break;
      case 0x108:
        s.raw.raw_width = static_cast<uint16_t>(data);
        break;
      case 0x109:
        s.raw.raw_height = static_cast<uint16_t>(data);
        break;
      case 0x10c:
        s.raw.image_width = static_cast<uint16_t>(data);
        break;
      case 0x10d:
        s.raw.image_height = static_cast<uint16_t>(data);
        break;
      case 0x10f:
        s.raw.raw_data_offset = static_cast<uint32_t>(at);
        break;
      case 0x301: {
        char text[64] = {};
        s.input.Read(text, sizeof text - 1);
        if (char* cut = std::strstr(text, " camera")) *cut = 0;
        SetText(s.shot.model, text);
        break;
      }
      default:
        break;  // colour matrix, margins, format and calibration: raw decoding only
    }
    s.input.Seek(resume);
  }

  // Plain and compressed data are both read by the Phase One decoder.
  s.raw.raw_decoder = RawDecoder::Phaseone;
  SetText(s.shot.make, "Phase One");
  if (s.shot.model[0]) return;
  switch (s.raw.raw_height) {
    case 2060:
      SetText(s.shot.model, "LightPhase");
      break;
    case 2682:
      SetText(s.shot.model, "H 10");
      break;
    case 4128:
      SetText(s.shot.model, "H 20");
      break;
    case 5488:
      SetText(s.shot.model, "H 25");
      break;
    default:
      break;
  }
}

}  // namespace engine
