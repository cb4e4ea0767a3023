// The reduced copy and the thumbnail over arbitrary bytes taken as a
// preview: measuring them, reducing them to fit 64 by 64, and making a PNG
// thumbnail within 64 by 64 turned by their own Exif orientation. The
// preview a RAW file embeds reaches the decoder unchecked, so it must survive
// anything. A reduction either gives a JPEG of exactly the asked size or
// nothing, a thumbnail a PNG of the bounded and turned size or nothing; and
// measuring the bytes in memory agrees with measuring them as a file, which
// the job does for an output it finds present.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/thumbnail.h"
#include "platform/path.h"

namespace {

constexpr int32_t kBound = 64;

// One scratch file per process, in memory where the system has it.
const std::string& ScratchPath() {
  static const std::string path = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(base) + "/rawlift-fuzz-reduce-" + std::to_string(::getpid()) + ".jpg";
  }();
  return path;
}

uint32_t Big32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// A thumbnail is made only of what measures, and then has the bounded size
// (no side below 1), turned for orientations 5 to 8, in its IHDR.
void CheckThumbnail(const uint8_t* data, size_t size, imaging::ImageSize measured) {
  const int orientation = imaging::ExifOrientationOfJpeg(data, size);
  if (orientation < 1 || orientation > 8) std::abort();
  const imaging::PngThumbnail thumbnail =
      imaging::MakePngThumbnail(data, size, kBound, orientation);
  if (!thumbnail.made()) {
    if (!thumbnail.png.empty()) std::abort();
    return;
  }
  if (measured.width <= 0 || measured.height <= 0) std::abort();
  imaging::ImageSize bounded = measured;
  if (measured.width > kBound || measured.height > kBound) {
    bounded = imaging::FitWithinBounds(measured.width, measured.height, kBound, kBound);
    bounded.width = bounded.width < 1 ? 1 : bounded.width;
    bounded.height = bounded.height < 1 ? 1 : bounded.height;
  }
  const imaging::ImageSize shown = imaging::OrientedSize(bounded, orientation);
  if (thumbnail.size != shown || thumbnail.png.size() < 33) std::abort();
  if (Big32(thumbnail.png.data() + 16) != uint32_t(shown.width) ||
      Big32(thumbnail.png.data() + 20) != uint32_t(shown.height)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const imaging::ImageSize size0 = imaging::MeasureJpeg(data, size);
  {
    std::ofstream out(ScratchPath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();  // the scratch file itself failed: not the code under test
  }
  if (imaging::MeasureJpegFile(platform::Utf8ToUtf16(ScratchPath())) != size0) std::abort();
  CheckThumbnail(data, size, size0);
  if (size0.width <= 0 || size0.height <= 0) return 0;
  if (size0.width <= kBound && size0.height <= kBound)
    return 0;  // the job copies those as they are
  const imaging::ImageSize target =
      imaging::FitWithinBounds(size0.width, size0.height, kBound, kBound);
  std::vector<uint8_t> reduced;
  if (imaging::ReduceJpeg(data, size, target.width, target.height, &reduced)) {
    if (imaging::MeasureJpeg(reduced.data(), reduced.size()) != target) std::abort();
  } else if (!reduced.empty()) {
    std::abort();
  }
  return 0;
}
