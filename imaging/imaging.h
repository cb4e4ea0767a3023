// Measuring, bounding and reducing the JPEG previews the extraction job
// writes.
//
// The job holds each preview in memory: it measures it there (MeasureJpeg),
// bounds that size (FitWithinBounds) and, only when the bounded size differs
// from the preview's own, makes the reduced copy from the same bytes
// (ReduceJpeg); whatever it writes, it writes once. A full-size output that
// was on the disk before is measured as a file (MeasureJpegFile), with the
// same header read. FitWithinBounds is plain arithmetic shared by every build;
// the rest sits on libjpeg-turbo on Linux and on GDI+ on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace imaging {

// Width and height in pixels; 0 by 0 stands for "no image".
struct ImageSize {
  int32_t width = 0;
  int32_t height = 0;
};

inline bool operator==(const ImageSize& a, const ImageSize& b) {
  return a.width == b.width && a.height == b.height;
}
inline bool operator!=(const ImageSize& a, const ImageSize& b) {
  return !(a == b);
}

// Quality of every JPEG this layer encodes.
constexpr int kReducedJpegQuality = 94;

// The size of the image in the JPEG held in `jpeg`, from its headers (the
// scan data is not decoded); 0 by 0 when it is not a JPEG that the decoder
// accepts.
ImageSize MeasureJpeg(const uint8_t* jpeg, size_t length);
// The same for the JPEG file at `path`, reading only as far as the headers;
// 0 by 0 as well when the file cannot be read.
ImageSize MeasureJpegFile(const std::u16string& path);

// The largest size of the same proportions within maxWidth by maxHeight:
// the width bound is tried first, and the height bound takes over only when
// the width-fitted height would still be too tall. Divisions truncate toward
// zero and products are formed in 64-bit arithmetic; with bounds 800 by 800,
// 3888 by 2592 gives 800 by 533 and 1000 by 1200 gives 666 by 800.
// When width or height is 0 the input size comes back unchanged. The caller
// asks only when the size exceeds a bound.
ImageSize FitWithinBounds(int32_t width, int32_t height, int32_t maxWidth, int32_t maxHeight);

// The JPEG in `jpeg` rescaled to exactly targetWidth by targetHeight, into
// *reduced: the source's pixel format (grey stays grey), every metadata
// segment of the source (APPn and COM) copied unchanged and in order, encoded
// at kReducedJpegQuality. (A multi-picture index, APP2 "MPF", is left out:
// its offsets name images that the new file lacks.) False, with *reduced
// empty, when the source cannot be decoded or a target dimension is 0 or
// below or beyond what this layer encodes.
bool ReduceJpeg(const uint8_t* jpeg, size_t length, int32_t targetWidth, int32_t targetHeight,
                std::vector<uint8_t>* reduced);

}  // namespace imaging
