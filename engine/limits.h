// The engine's bounds on what it reads: directory and record counts, nesting
// depths, boxes, packets, text and buffer sizes. Every count, length and
// offset in a camera file is the file's claim, so each walk stops at one of
// these whatever the file says; each value has its reason beside it. Format
// constants (field offsets, tag numbers, header sizes) stay with their unit.
//
// Several bounds decide outcomes as well as costs (a directory over its bound
// is not read at all, a record table only holds so many images): changing a
// value changes which files give which preview.
#pragma once

#include <cstddef>
#include <cstdint>

namespace engine {

// --- Reading the file ---

// The input stream's window: large enough that a file's metadata, which
// mostly lies within its first tens of kilobytes, costs a handful of reads.
constexpr size_t kInputWindowSize = 64 * 1024;
// Bytes kept from the start of the file for the signature tests: the last
// one tested ("ARECOYK" at 25) ends at 32.
constexpr size_t kHeadSize = 32;

// --- The list of embedded images (images.cpp) ---

// A place name ("MakerNote PreviewIFD", "SubIFD9") fits in this, with its NUL.
constexpr size_t kImagePlaceNameSize = 24;
// Images listed per file: a camera embeds two to five. A file whose
// directories name more is garbage past this point, and the list is the
// same whatever the file claims.
constexpr size_t kMaxImagesListed = 32;
// Claims on the preview kept apart before they are merged into one: the
// preview is read from them as parsing goes on, so a file whose entries
// claim it thousands of times costs no more than a bounded list.
constexpr size_t kMaxPreviewClaims = 16;
// Segments before the scan looked at when a JPEG's own markers are read for
// its size and Exif: cameras write fewer than twenty.
constexpr int kMaxJpegSegmentsSurveyed = 256;

// --- TIFF and Exif (tiff.cpp, exif_copy.cpp) ---

// Image directories recorded per TIFF parse: a raw file has IFD0, a few
// SubIFDs and a maker-note preview; when the table is full the walk stops.
constexpr int kIfdTableSize = 10;
// A TIFF directory claiming more entries than this is garbage and is not
// read: cameras write a few dozen (a hundred or two at most).
constexpr uint32_t kMaxDirectoryEntries = 512;
// Entries of a linearization table read through (to report one cut short by
// the end of the file): the curve a raw decoder builds has 4096 entries, so
// a longer table is read only this far.
constexpr uint32_t kLinearizationTableSize = 4096;
// TIFF structures nest through the private data of non-DNG files (a Minolta
// block list whose TIFF block is parsed again). Real files nest once; the
// bound stops a block list that points back at its own TIFF.
constexpr uint32_t kMaxTiffNesting = 4;

// --- Maker notes (makernote.cpp) ---

// A maker-note directory with more entries than this is garbage: cameras
// write a few hundred at most.
constexpr uint32_t kMaxMakerNoteEntries = 1000;
// Kodak's private directory runs larger than a maker note; beyond this it is
// garbage too.
constexpr uint32_t kMaxKodakEntries = 1024;
// The KC/MLY white-balance scan never looks further into the file than this
// (nor past the raw data): it reads two bytes at a time, so the bound caps
// its work on a note that holds no multipliers.
constexpr int64_t kWhiteBalanceScanEnd = 16384;

// --- Canon CIFF (ciff.cpp) ---

// A table with more records than this is not a CIFF table: cameras write a
// few dozen per heap.
constexpr uint32_t kMaxCiffRecords = 100;
// Real files nest their heaps three levels deep. Nothing in the format stops
// a sub-heap from pointing back at an ancestor, so deeper heaps are ignored.
constexpr int kMaxCiffHeapDepth = 8;
// Heaps walked per file: a camera writes about a dozen. Bounds the work a
// hostile file of many distinct small heaps can cause.
constexpr size_t kMaxCiffHeaps = 1024;

// --- Fuji RAF (fuji_minolta.cpp) ---

// A RAF directory with this many entries or more is not one: cameras write
// about a dozen.
constexpr uint32_t kMaxFujiEntries = 256;

// --- Leaf MOS packets (leaf_phaseone.cpp) ---

// A packet's data may itself be a packet chain. Leaf files nest one or two
// levels; the format sets no limit, so a hostile file is cut off here.
constexpr int kMaxPacketDepth = 8;
// The decimal texts of the packets read are a few numbers long; more than
// this is not text the engine understands.
constexpr size_t kMaxPacketText = 1024;

// --- Small containers (small_containers.cpp) ---

// RIFF lists nest a few levels in real files (AVI: RIFF, hdrl, strl); the
// format sets no limit, so deeper nesting is skipped rather than followed.
constexpr int kMaxRiffDepth = 8;
// An IDIT date text is 26 characters; a longer chunk is not read as a date.
constexpr uint32_t kMaxIditText = 64;
// Rollei header lines are short "key=value" texts; the keys read fit easily,
// and the rest of a longer line is skipped.
constexpr size_t kRolleiLineSize = 128;

// --- Foveon X3F (foveon.cpp) ---

// Property sections name a few dozen properties; the rest is not read.
constexpr uint32_t kMaxFoveonProperties = 256;
// A camera writes one property section. Each costs up to 512 text reads, so
// a directory that lists sections over and over is read for the first few.
constexpr int kMaxFoveonPropertySections = 8;
// The property values read (maker, model, numbers) are short; longer text is
// cut here.
constexpr size_t kFoveonPropertyTextLength = 63;

// --- Canon CR3 (cr3.cpp) ---

// Real files nest eight levels deep (moov > trak > mdia > minf > stbl > stsd >
// CRAW > JPEG). A few levels more leave room for what other bodies may wrap
// around them; anything deeper is no camera's file, and the bound keeps boxes
// nested in boxes from recursing until the stack runs out.
constexpr int kMaxCr3BoxDepth = 12;
// A real file has about a hundred boxes (four tracks of twenty, the metadata
// box's ten, a few at the top). The bound caps the header reads that a file
// of thousands of tiny boxes could ask for.
constexpr int kMaxCr3BoxesVisited = 1024;

// --- Embedded images (extract.cpp, cr3.cpp) ---

// The longest embedded image the engine copies out of a file. The largest
// full-size JPEGs cameras write, those of 100-megapixel bodies, are tens of
// megabytes (a fine JPEG of a noisy high-ISO frame, about 60 MB); four times
// that leaves room for the sensors to come, while one buffer of this size is
// still far from exhausting the memory of any machine the tool runs on, the
// Explorer extension drawing a few thumbnails at once included. A longer
// claim comes from a damaged or hostile file (a directory entry claiming
// gigabytes of a sparse file) and is refused before anything is allocated.
// Every length the engine allocates by or copies out by is checked with
// WithinEmbeddedBound below; the Exif values copied into a new segment are
// bounded by the segment's own 64 KB before that.
constexpr uint64_t kMaxEmbeddedLength = uint64_t{256} * 1024 * 1024;

// Whether a length read from a file is one the engine may allocate by.
constexpr bool WithinEmbeddedBound(uint64_t length) {
  return length <= kMaxEmbeddedLength;
}

// --- Extraction (extract.cpp, exif_copy.cpp) ---

// A preview's frame header is first looked for, with the lenient rules of the
// extracted JPEG's own size, within its first bytes, where cameras put it
// after their tables; only when it is not found there is the whole preview
// walked with the strict rules. The value decides which previews get a size
// in the complete Exif segment.
constexpr size_t kFrameProbeLength = 4096;
// Bytes the complete Exif segment's builder reads from the file at once: a
// raw file's directories and most of their values lie together within a few
// kilobytes (the maker note, which is not read, is what makes an Exif
// directory's data large).
constexpr size_t kMetadataWindowSize = 16 * 1024;

}  // namespace engine
