// The reduced copy over arbitrary bytes taken as a preview: measuring them,
// and reducing them to fit 64 by 64. The preview a RAW file embeds reaches the
// decoder unchecked, so it must survive anything. A reduction either gives a
// JPEG of exactly the asked size or nothing; and measuring the bytes in
// memory agrees with measuring them as a file, which the job does for an
// output it finds present.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "imaging/imaging.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const imaging::ImageSize size0 = imaging::MeasureJpeg(data, size);
  {
    std::ofstream out(ScratchPath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();  // the scratch file itself failed: not the code under test
  }
  if (imaging::MeasureJpegFile(platform::Utf8ToUtf16(ScratchPath())) != size0) std::abort();
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
