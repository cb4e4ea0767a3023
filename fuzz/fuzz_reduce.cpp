// The reduced copy over arbitrary bytes taken as a JPEG file: measuring it,
// and reducing it to fit 64 by 64. The preview a RAW file embeds reaches the
// decoder unchecked, so it must survive anything. A reduction either
// replaces the file by a JPEG of exactly the asked size or leaves the file
// as it was.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "platform/path.h"

namespace {

constexpr int32_t kBound = 64;

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

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
  const std::string& path = ScratchPath();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();  // the scratch file itself failed: not the code under test
  }
  const std::u16string widePath = platform::Utf8ToUtf16(path);
  const imaging::ImageSize size0 = imaging::MeasureJpegFile(widePath);
  if (size0.width <= 0 || size0.height <= 0) return 0;
  if (size0.width <= kBound && size0.height <= kBound)
    return 0;  // the job copies those as they are
  const imaging::ImageSize target =
      imaging::FitWithinBounds(size0.width, size0.height, kBound, kBound);
  if (imaging::ReduceJpegFile(widePath, target.width, target.height)) {
    if (imaging::MeasureJpegFile(widePath) != target) std::abort();
  } else {
    const std::vector<uint8_t> now = ReadAll(path);
    if (now.size() != size || !std::equal(now.begin(), now.end(), data)) std::abort();
  }
  return 0;
}
