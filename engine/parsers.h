// The container parsers of the engine and what they share. Every parser works
// on the ParseState it is handed and reads through its input stream.
#pragma once

#include <cstdint>

#include "engine/jpeg_markers.h"
#include "engine/parse_state.h"

namespace engine {

// --- TIFF, Exif (tiff.cpp) ---
struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  int64_t resume = 0;  // position just after the 12-byte entry
  // Where the value lies: inside the entry's last four bytes, or at the
  // offset they hold (from the directory's base).
  int64_t value_at = 0;
};
// A file position as the formats' 32-bit offset fields hold it. A position
// beyond 32 bits is kept beyond every file (all ones) instead of wrapping
// back to some unrelated place inside it.
uint32_t FileOffset(int64_t position);
// Entries a directory may claim at the current position, bounded by the
// bytes left in the file (an entry cut short by the end still counts, since
// its first bytes are real): a count read from a file is never trusted
// beyond what the file can hold.
uint32_t EntriesInFile(ParseState& s, uint32_t declared);
// Element size of a TIFF type (types of 14 and more count as size 1).
uint32_t TiffTypeSize(uint32_t type);
// Reads one entry and leaves the stream at its value (inline or at base + offset).
TiffEntry ReadTiffEntry(ParseState& s, int64_t base);
void ParseTiff(ParseState& s, int64_t base);
// 1 = stop walking (table full or directory too large), 0 = continue.
// `where` names the directory's image in the list of embedded images ("IFD0",
// "SubIFD1"); empty: the record is not listed.
int ParseTiffDirectory(ParseState& s, int64_t base, const char* where);
void ParseExifDirectory(ParseState& s, int64_t base);
void ReadExifTimestamp(ParseState& s, bool reversed);
// Reads past a linearization table of `count` 16-bit entries (at most 4096),
// reporting a table cut short by the end of the file.
void SkipLinearizationTable(ParseState& s, uint32_t count);

// Reads the JPEG at the current position up to its scan: the first byte is
// not looked at, the second must be SOI's code, then only segments with a
// length follow, each wholly inside the file. The last baseline or lossless
// frame header met fills `frame` (zero when none). True when the scan was
// reached.
bool probe_jpeg_header(ParseState& s, JpegFrameHeader* frame);

// --- Maker notes (makernote.cpp) ---
void ParseMakerNote(ParseState& s, int64_t base, uint32_t upper_tag);
void ParsePreviewNote(ParseState& s, int64_t base, uint32_t offset_tag, uint32_t length_tag);
void ParseKodakDirectory(ParseState& s, int64_t base);

// --- Canon CIFF and the JPEG segment walk (ciff.cpp) ---
void ParseCiffHeap(ParseState& s, uint32_t heap_start, uint32_t heap_length);
// A file no parser claimed, read as a JPEG: every segment before the scan is
// tried as a CIFF heap and as a TIFF structure. 0 when the file does not
// start with SOI, 1 otherwise.
int WalkJpegSegments(ParseState& s, uint32_t offset);

// --- Fuji RAF and Minolta MRW (fuji_minolta.cpp) ---
void ParseFujiDirectory(ParseState& s, uint32_t directory_offset);
void ParseMinoltaBlocks(ParseState& s, uint32_t base);

// --- Foveon X3F (foveon.cpp) ---
void ParseFoveonDirectory(ParseState& s);

// --- Leaf MOS and Phase One (leaf_phaseone.cpp) ---
void ParseMosPackets(ParseState& s, uint32_t position);
void ParsePhaseOneHeader(ParseState& s, uint32_t base);

// --- Small containers (small_containers.cpp) ---
void ParseRiffChunk(ParseState& s);
void ParseRolleiHeader(ParseState& s);
void ParseSinarIaHeader(ParseState& s);
void ParseCineHeader(ParseState& s);
void ParseSmalHeader(ParseState& s, uint32_t offset, uint32_t file_size);

// --- Rules for later cameras (current_cameras.cpp) ---
// The original rules call these at marked places; each only changes the
// outcome of files those rules refuse or misread.
// The decoder that would read a raw compression of later cameras (Sony,
// Panasonic, Samsung, lossy and JPEG XL DNG, GoPro, Nikon High Efficiency);
// None when the compression is not one of them.
RawDecoder RawDecoderOfLaterCompression(const ParseState& s, uint32_t compression);
// A DNG's reduced-resolution directory is never its raw image.
bool CanBeRawImage(const ParseState& s, const IfdRecord& record);
// JPEG XL image data: not a JPEG, never extracted.
bool IsJpegXlImage(const IfdRecord& record);
// Panasonic's own tags in its 0x55 TIFF variant (the raw compression and the
// JpgFromRaw preview); true when the entry was one of them. The stream is at
// the entry's value.
bool ReadPanasonicEntry(ParseState& s, const TiffEntry& e, IfdRecord& record);
// Maker-note headers that name no maker the original rules know:
// "PENTAX " of later Pentax and Ricoh bodies and "OM SYSTEM" of OM Digital
// Solutions bodies. On a match the byte order and *base are set and the stream
// is at the directory.
enum class LaterNoteHeader { kNone, kPentax, kOmSystem };
LaterNoteHeader ReadLaterNoteHeader(ParseState& s, const char* header, int64_t note_start,
                                    int64_t* base);
// After the camera rules, the rules of the container families that hold raw
// data by their container alone (RW2/RWL, RAF), from their table: the
// decoder a family names, and the family's own preview candidate (an X or GFX
// RAF's header JPEG).
void ApplyContainerFamilyRules(ParseState& s);

// --- Canon CR3, an ISO base media file (cr3.cpp) ---
// Reads the boxes of a file whose `ftyp` brand is "crx ".
void ParseCr3File(ParseState& s);

// --- Sidecar JPEG metadata (sidecar.cpp) ---
void read_sidecar_metadata(ParseState& s);

// --- Identification (identify.cpp) ---
void IdentifyFile(ParseState& s);

}  // namespace engine
