// Thumbnails for file managers: a RAW file's embedded JPEG preview, bounded
// to a square, turned upright as the camera was held, and encoded as PNG.
//
// MakePngThumbnail decodes the JPEG with libjpeg-turbo, scaling in the DCT
// domain to the smallest eighth of the full size that still covers the
// bound, finishes with the bicubic resampler of resampler.h, applies the
// orientation and encodes 8-bit RGB PNG with libpng. The orientation helpers
// are plain C++ and built everywhere; the Windows build has no thumbnailer
// (freedesktop thumbnails are a Linux matter) and answers kNotInThisBuild.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/imaging.h"

namespace imaging {

// Largest bound accepted. File managers ask for 128 to 1024 pixels; beyond
// this a thumbnail stops being one, and the RGB buffer (SIZE * SIZE * 3
// bytes, 48 MiB here) grows with the square of it.
constexpr int32_t kMaxThumbnailSize = 4096;

enum class ThumbnailFailure : uint8_t {
  kNone,
  kBadBound,        // the bound is outside 1..kMaxThumbnailSize
  kNotJpeg,         // the decoder rejects the headers
  kUnsupported,     // a colour space other than grey, YCbCr or RGB, or too many pixels
  kTruncated,       // the compressed data ends before the picture does
  kCorrupt,         // the decoder stopped inside the picture's data
  kOutOfMemory,     // a buffer could not be had
  kNotInThisBuild,  // the build has no JPEG decoder or PNG encoder for thumbnails
};

// A short lower-case phrase for messages ("the preview's JPEG data ends early").
const char* ThumbnailFailureText(ThumbnailFailure failure);

// 8-bit RGB pixels, rows top to bottom, 3 bytes per pixel, no padding.
struct RgbImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;
};

// The Exif Orientation (1 to 8) of IFD0 in the first Exif APP1 segment of
// the JPEG in `jpeg`, read from the markers before the first scan;
// `fallback` when there is none or its value is outside 1..8 (1: as stored;
// a camera file's own orientation for a preview whose Exif lacks the tag).
int ExifOrientationOfJpeg(const uint8_t* jpeg, size_t length, int fallback = 1);
// The same, but 0 when that segment or its Orientation tag is missing or the
// value is outside 1..8: for callers that fall back on another source.
int ExifOrientationTagOfJpeg(const uint8_t* jpeg, size_t length);

// The size a picture of `stored` size shows at under `orientation`: width and
// height swapped for 5 to 8 (the quarter turns), unchanged otherwise.
ImageSize OrientedSize(ImageSize stored, int orientation);

// `stored` turned and mirrored as Exif `orientation` says it must be shown:
// 2 mirrored left to right, 3 turned half way, 4 mirrored top to bottom,
// 5 mirrored along the main diagonal, 6 turned a quarter clockwise, 7
// mirrored along the other diagonal, 8 turned a quarter anticlockwise.
// Any other value shows the picture as stored.
RgbImage OrientImage(const RgbImage& stored, int orientation);
// The same for packed pixels of `pixel_bytes` bytes, 3 (RGB) or 4 (BGRA): the
// `width` x `height` pixels at `stored` written upright to `shown`, which
// holds as many pixels (its width and height those of OrientedSize).
void OrientPixels(const uint8_t* stored, int64_t width, int64_t height, size_t pixel_bytes,
                  int orientation, uint8_t* shown);

struct PngThumbnail {
  ThumbnailFailure failure = ThumbnailFailure::kNone;
  ImageSize size;            // of the PNG, after orientation
  std::vector<uint8_t> png;  // empty on failure

  bool made() const { return failure == ThumbnailFailure::kNone; }
};

struct RgbThumbnail {
  ThumbnailFailure failure = ThumbnailFailure::kNone;
  RgbImage image;  // after orientation; empty on failure

  bool made() const { return failure == ThumbnailFailure::kNone; }
};

// Whether this build makes thumbnails (false on Windows).
bool ThumbnailsAvailable();

// The JPEG in `jpeg` bounded to `bound` by `bound` pixels (proportions kept,
// never enlarged; a side that would round to 0 becomes 1), shown as
// `orientation` says, as an 8-bit RGB PNG. Every fault of the data comes back
// as the failure; nothing is printed.
PngThumbnail MakePngThumbnail(const uint8_t* jpeg, size_t length, int32_t bound, int orientation);

// The same thumbnail as 8-bit RGB pixels, before PNG encoding.
RgbThumbnail MakeRgbThumbnail(const uint8_t* jpeg, size_t length, int32_t bound, int orientation);

}  // namespace imaging
