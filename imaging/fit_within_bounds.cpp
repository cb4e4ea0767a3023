// The bounded size of a reduced copy: plain integer arithmetic, the same in
// every build so that Linux and Windows name their reduced copies alike.
#include <cstdint>
#include <limits>

#include "imaging/imaging.h"

namespace imaging {
namespace {

// Quotients are formed in 64 bits; bounds and sizes of any sign are accepted
// (the settings are not validated), so clamp instead of narrowing silently.
int32_t ClampToInt32(int64_t value) {
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

ImageSize FitWithinBounds(int32_t width, int32_t height, int32_t maxWidth, int32_t maxHeight) {
  if (width == 0 || height == 0) return ImageSize{width, height};
  // C++ integer division truncates toward zero, as the naming rules expect.
  const int64_t candidateHeight = int64_t{height} * maxWidth / width;
  if (candidateHeight > maxHeight) {
    return ImageSize{ClampToInt32(int64_t{width} * maxHeight / height), maxHeight};
  }
  return ImageSize{maxWidth, ClampToInt32(candidateHeight)};
}

}  // namespace imaging
