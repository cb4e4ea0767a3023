// Measuring, bounding and reducing the JPEG files the extraction job writes.
//
// The job copies a preview byte for byte into the reduced copy's file first;
// only when the bounded size differs from the preview's own size does
// ReduceJpegFile decode that file, rescale it and encode it again in its place.
// FitWithinBounds is plain arithmetic shared by every build; the other two sit
// on libjpeg-turbo on Linux and on GDI+ on Windows.
#pragma once

#include <cstdint>
#include <string>

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

// The size of the image in the JPEG file at `path`, from its headers (the
// scan data is not decoded); 0 by 0 when the file cannot be read or is not a
// JPEG that the decoder accepts.
ImageSize MeasureJpegFile(const std::u16string& path);

// The largest size of the same proportions within maxWidth by maxHeight:
// the width bound is tried first, and the height bound takes over only when
// the width-fitted height would still be too tall. Divisions truncate toward
// zero and products are formed in 64-bit arithmetic; with bounds 800 by 800,
// 3888 by 2592 gives 800 by 533 and 1000 by 1200 gives 666 by 800.
// When width or height is 0 the input size comes back unchanged. The caller
// asks only when the size exceeds a bound.
ImageSize FitWithinBounds(int32_t width, int32_t height, int32_t maxWidth, int32_t maxHeight);

// Replaces the JPEG file at `path` by its image rescaled to exactly
// targetWidth by targetHeight, with the source's pixel format (grey stays
// grey), every metadata segment of the source (APPn and COM) copied unchanged
// and in order, encoded at kReducedJpegQuality. (A multi-picture index, APP2
// "MPF", is left out: its offsets name images that the new file lacks.) The new file is written
// beside the old one and renamed over it, so on any failure (undecodable source, a target dimension
// of 0 or below, a write error) the file is left exactly as it was. Returns true when the file was
// replaced; the job does not need to look.
bool ReduceJpegFile(const std::u16string& path, int32_t targetWidth, int32_t targetHeight);

}  // namespace imaging
