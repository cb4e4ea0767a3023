// Every image a camera file embeds, the camera's description, and the one
// function that picks an image for a use.
//
// Identification gathers the images each container parser meets (the TIFF
// directories, the maker notes' preview entries, CR3's track and boxes, the
// RAF header's JPEG...) into a list. After parsing, ChooseImage picks from
// that list for one use: the preview that extraction writes (the rules of each
// container family), or the smallest complete JPEG that covers a size (for
// thumbnails and previews on screen).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/input.h"
#include "engine/outcome.h"
#include "platform/path.h"

namespace engine {

// How an embedded image's bytes are encoded.
enum class ImageKind : uint8_t {
  kJpeg,    // a JPEG stream (baseline, progressive or lossless frame)
  kJpegXl,  // JPEG XL (DNG 1.7 previews)
  kBitmap,  // uncompressed pixels (packed RGB, planes, a sensor thumbnail)
  kOther,   // anything else: a compression nothing here reads
};

// "jpeg", "jpegxl", "bitmap" or "other".
const char* ImageKindName(ImageKind kind);

// One image embedded in a camera file, as its container describes it.
struct EmbeddedImage {
  // Where it was found, a short stable name: "IFD0", "IFD1", "SubIFD2",
  // "MakerNote PreviewImage", "PRVW", "THMB", "track 1", "RAF header"...
  std::string where;
  ImageKind kind = ImageKind::kOther;
  uint64_t offset = 0;  // absolute position of its first byte in the file
  uint64_t length = 0;  // its length as the container states it
  // Its pixel size: a JPEG's from its own frame header, otherwise as the
  // container states it; 0 by 0 when unknown.
  uint32_t width = 0;
  uint32_t height = 0;
  bool complete = false;  // lies wholly inside the file
  bool own_exif = false;  // a JPEG with an Exif APP1 segment before its scan

  uint32_t LongerSide() const { return width > height ? width : height; }
};

// What the camera recorded about itself and the shot. Texts are the file's
// 8-bit bytes up to the first NUL (Latin-1 in practice).
struct CameraDescription {
  std::string make;
  std::string model;
  std::string model2;
  std::string artist;
  std::string description;
  int64_t timestamp = 0;     // seconds since 1970 (local time read as TZ says), 0: none
  int exif_orientation = 1;  // 1..8, as a synthesized Exif segment carries it
  float iso_speed = 0;
  float shutter = 0;       // seconds
  float aperture = 0;      // f-number
  float focal_length = 0;  // mm
};

// What identification learns about one file, for callers outside the engine.
struct Identification {
  CameraDescription camera;
  bool raw = false;  // a camera raw file by the engine's rules
  // Why extraction gives nothing (kNone when it gives a JPEG): the same
  // reason ExtractEmbeddedPreview returns.
  NoPreviewReason reason = NoPreviewReason::kNone;
  std::vector<EmbeddedImage> images;
  int extraction_choice = -1;  // index into images of the preview extraction writes; -1: none
  // The image the container's rules name as its preview, whether or not the
  // file is accepted as raw (-1: none), and for a file written by a raw
  // converter, why that image cannot be taken (kNone when it can).
  int rules_choice = -1;
  NoPreviewReason converted_reason = NoPreviewReason::kNone;
};

// The uses an image is chosen for.
struct ImageUse {
  // 0: the preview extraction writes. Otherwise the smallest complete JPEG
  // whose longer side is at least `cover` pixels, else the largest complete
  // JPEG, among the JPEGs of a file that extraction accepts as raw.
  int32_t cover = 0;
  // Files written by a raw converter (converted DNGs) count as raw for this
  // use. Extraction refuses them unless asked; whatever shows files takes them.
  bool accept_converted = false;
};

struct ImageChoice {
  NoPreviewReason reason = NoPreviewReason::kNone;  // why there is none
  int index = -1;                                   // into Identification::images
};

// The one choice of an image for a use. A file that extraction refuses is
// refused for every use, with the same reason (converted files aside, when
// the use accepts them).
ImageChoice ChooseImage(const Identification& identification, const ImageUse& use);

// Identifies the file in `source` (`name` prefixes diagnostics, `path` finds
// sidecar JPEGs; both may be empty). False when the source has no bytes.
bool IdentifyImages(const ByteSource& source, const std::string& name,
                    const platform::NativePath& path, Identification* out);

}  // namespace engine
