// The parts of thumbnailing that need no codec: messages, the Exif
// orientation of a JPEG, and turning pixels upright.
#include <cstring>

#include "engine/byte_order.h"
#include "engine/jpeg_markers.h"
#include "imaging/thumbnail.h"

namespace imaging {
namespace {

using engine::kEndOfImage;
using engine::kMarkerPrefix;
using engine::kStartOfImage;
using engine::kStartOfScan;
using engine::Load16;
using engine::Load32;

constexpr uint8_t kApp1 = 0xE1;
constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kTypeShort = 3;
constexpr size_t kTiffEntryBytes = 12;
// "Exif" and two NULs open the APP1 body of an Exif segment; the TIFF
// structure, whose offsets count from its own first byte, follows.
const uint8_t kExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};

// The Orientation entry of IFD0 in a TIFF structure of `size` bytes; 0 when
// there is none. Every offset and count is checked against `size`.
int OrientationInTiff(const uint8_t* tiff, size_t size) {
  if (size < 8) return 0;
  const bool little = tiff[0] == 'I' && tiff[1] == 'I';
  if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 0;
  const uint16_t order = little ? engine::kLittleEndianMark : engine::kBigEndianMark;
  if (Load16(tiff + 2, order) != 42) return 0;
  const uint64_t directory = Load32(tiff + 4, order);
  if (directory + 2 > size) return 0;
  const uint64_t count = Load16(tiff + directory, order);
  // Only entries wholly inside the structure are read, whatever the count says.
  const uint64_t room = (size - directory - 2) / kTiffEntryBytes;
  const uint64_t entries = count < room ? count : room;
  for (uint64_t i = 0; i < entries; ++i) {
    const uint8_t* entry = tiff + directory + 2 + i * kTiffEntryBytes;
    if (Load16(entry, order) != kOrientationTag) continue;
    if (Load16(entry + 2, order) != kTypeShort || Load32(entry + 4, order) < 1) return 0;
    return Load16(entry + 8, order);  // a single SHORT sits at the start of the value field
  }
  return 0;
}

}  // namespace

const char* ThumbnailFailureText(ThumbnailFailure failure) {
  switch (failure) {
    case ThumbnailFailure::kNone:
      return "no failure";
    case ThumbnailFailure::kBadBound:
      return "the size is outside the accepted range";
    case ThumbnailFailure::kNotJpeg:
      return "the preview is not a JPEG the decoder accepts";
    case ThumbnailFailure::kUnsupported:
      return "the preview's colour space or pixel count is not supported";
    case ThumbnailFailure::kTruncated:
      return "the preview's JPEG data ends early";
    case ThumbnailFailure::kCorrupt:
      return "the preview's JPEG data is damaged";
    case ThumbnailFailure::kOutOfMemory:
      return "out of memory";
    case ThumbnailFailure::kNotInThisBuild:
      return "thumbnails are not available in this build";
  }
  return "unknown failure";
}

int ExifOrientationTagOfJpeg(const uint8_t* jpeg, size_t length) {
  if (jpeg == nullptr || length < 4 || jpeg[0] != kMarkerPrefix || jpeg[1] != kStartOfImage) {
    return 0;
  }
  // Each step moves past at least one byte, so the walk ends by the end of
  // the data whatever it holds.
  size_t at = 2;
  while (at + 2 <= length) {
    if (jpeg[at] != kMarkerPrefix) return 0;  // no marker where one must be
    const uint8_t code = jpeg[at + 1];
    if (code == kMarkerPrefix) {  // fill byte before a marker
      ++at;
      continue;
    }
    if (engine::IsTemOrRestart(code)) {  // no length follows
      at += 2;
      continue;
    }
    if (code == kStartOfScan || code == kEndOfImage || at + 4 > length) return 0;
    const size_t segmentLength = (size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
    if (segmentLength < 2 || segmentLength > length - at - 2) return 0;
    const uint8_t* body = jpeg + at + 4;
    const size_t bodyLength = segmentLength - 2;
    if (code == kApp1 && bodyLength >= sizeof kExifSignature &&
        std::memcmp(body, kExifSignature, sizeof kExifSignature) == 0) {
      // Only the first Exif segment describes the picture.
      const int value =
          OrientationInTiff(body + sizeof kExifSignature, bodyLength - sizeof kExifSignature);
      return value >= 1 && value <= 8 ? value : 0;
    }
    at += 2 + segmentLength;
  }
  return 0;
}

int ExifOrientationOfJpeg(const uint8_t* jpeg, size_t length, int fallback) {
  const int value = ExifOrientationTagOfJpeg(jpeg, length);
  return value != 0 ? value : fallback;
}

ImageSize OrientedSize(ImageSize stored, int orientation) {
  if (orientation >= 5 && orientation <= 8) return ImageSize{stored.height, stored.width};
  return stored;
}

namespace {

// OrientPixels for pixels of a size the compiler knows, so the copy of each
// is a plain load and store rather than a call.
template <size_t kPixelBytes>
void OrientPixelsOf(const uint8_t* stored, int64_t w, int64_t h, int orientation, uint8_t* shown) {
  constexpr size_t pixel_bytes = kPixelBytes;
  const bool quarter_turn = orientation >= 5 && orientation <= 8;
  const int64_t shown_width = quarter_turn ? h : w;
  const int64_t shown_height = quarter_turn ? w : h;
  uint8_t* target = shown;
  // For each shown pixel (x, y), the stored pixel (sx, sy) that goes there.
  for (int64_t y = 0; y < shown_height; ++y) {
    for (int64_t x = 0; x < shown_width; ++x, target += pixel_bytes) {
      int64_t sx = x, sy = y;
      switch (orientation) {
        case 2:
          sx = w - 1 - x;
          break;
        case 3:
          sx = w - 1 - x;
          sy = h - 1 - y;
          break;
        case 4:
          sy = h - 1 - y;
          break;
        case 5:
          sx = y;
          sy = x;
          break;
        case 6:
          sx = y;
          sy = h - 1 - x;
          break;
        case 7:
          sx = w - 1 - y;
          sy = h - 1 - x;
          break;
        case 8:
          sx = w - 1 - y;
          sy = x;
          break;
      }
      std::memcpy(target, stored + size_t(sy * w + sx) * pixel_bytes, pixel_bytes);
    }
  }
}

}  // namespace

void OrientPixels(const uint8_t* stored, int64_t width, int64_t height, size_t pixel_bytes,
                  int orientation, uint8_t* shown) {
  switch (pixel_bytes) {
    case 3:
      return OrientPixelsOf<3>(stored, width, height, orientation, shown);
    case 4:
      return OrientPixelsOf<4>(stored, width, height, orientation, shown);
  }
}

RgbImage OrientImage(const RgbImage& stored, int orientation) {
  const int64_t w = stored.width, h = stored.height;
  if (orientation < 2 || orientation > 8 || w < 0 || h < 0 ||
      stored.pixels.size() != uint64_t(w) * uint64_t(h) * 3) {
    return stored;
  }
  const ImageSize shown = OrientedSize(ImageSize{stored.width, stored.height}, orientation);
  RgbImage out;
  out.width = shown.width;
  out.height = shown.height;
  out.pixels.resize(stored.pixels.size());
  OrientPixels(stored.pixels.data(), w, h, 3, orientation, out.pixels.data());
  return out;
}

}  // namespace imaging
