// The engine's entry point: the embedded JPEG preview of a camera raw file.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/images.h"
#include "engine/input.h"
#include "engine/outcome.h"
#include "engine/parse_state.h"

namespace engine {

constexpr size_t kExifHeaderBlockSize = 1136;
constexpr size_t kExifSegmentSize = 1146;  // FF E1, length, "Exif\0\0", block

// Fills the 1136-byte TIFF structure of a synthesized Exif segment from the
// state, with "RLFT engine v1.00" as software.
void BuildExifHeaderBlock(const ShotDescription& s, uint8_t* block);

// How much of the raw file's own description a synthesized Exif segment
// carries: the compact block (make, model, date, orientation, exposure) or the
// file's IFD0, Exif and GPS directories.
enum class MetadataMode : uint8_t { kCompact = 0, kComplete = 1 };

struct ExtractOptions {
  // Software text of a synthesized header; at most its first 31 characters
  // are used. Empty: "RLFT engine v1.00".
  std::string software;
  MetadataMode metadata = MetadataMode::kCompact;
  // Where the engine's diagnostics go; empty: nowhere.
  DiagnosticSink diagnostics;
  // Which embedded image: the default is the preview extraction writes;
  // `use.cover` asks for the smallest JPEG that covers a size.
  ImageUse use;
};

// A block from malloc: the command keeps such blocks in the heap between files.
struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};
using JpegBytes = std::unique_ptr<uint8_t, FreeDeleter>;

// What one extraction gave: the JPEG, or the reason there is none.
struct ExtractedPreview {
  NoPreviewReason reason = NoPreviewReason::kNone;
  JpegBytes bytes;  // the whole JPEG, starting with SOI
  size_t length = 0;
  // The JPEG's frame size from its own header; 0 by 0 when no frame header
  // was found before the scan.
  int32_t width = 0;
  int32_t height = 0;
  bool exif_synthesized = false;  // an Exif segment was inserted after SOI
  // The Exif Orientation (1-8) the camera file records, as a synthesized
  // segment carries it: what shows the preview upright when its own Exif
  // has no Orientation tag.
  int camera_orientation = 1;

  bool extracted() const { return reason == NoPreviewReason::kNone && bytes != nullptr; }
};

// Opens the file, identifies it and returns its JPEG preview, with a
// synthesized Exif segment when the preview has none of its own.
ExtractedPreview ExtractEmbeddedPreview(const std::u16string& path, const ExtractOptions& options);

// The same over bytes from any source (memory in tests and fuzzing). `name`
// prefixes diagnostics; `path`, when given, is the file's own path, which the
// sidecar lookup uses.
ExtractedPreview ExtractEmbeddedPreviewFrom(const ByteSource& source, const std::string& name,
                                            const platform::NativePath& path,
                                            const ExtractOptions& options);

// Why an identified file gives no preview, as extraction would find it, reading
// only the preview's first bytes; kNone when it gives one.
NoPreviewReason CheckPreview(ParseState& s);

// What callers outside the engine learn of a file identified into `s`
// (IdentifySource): the camera, the reason, the embedded images. False only
// when memory ran out (the reason says so).
bool DescribeIdentified(ParseState& s, Identification* out);

// Identification only, for `rawlift identify` and the tests: a fresh state,
// reset, identified. Returns false when the source has no bytes to read.
bool IdentifySource(const ByteSource& source, const std::string& name,
                    const platform::NativePath& path, ParseState* state);

}  // namespace engine
