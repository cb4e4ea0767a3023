// Builds without libjpeg-turbo and libpng (Windows): no thumbnails.
#include "imaging/thumbnail.h"

namespace imaging {

bool ThumbnailsAvailable() {
  return false;
}

PngThumbnail MakePngThumbnail(const uint8_t*, size_t, int32_t, int) {
  PngThumbnail result;
  result.failure = ThumbnailFailure::kNotInThisBuild;
  return result;
}

RgbThumbnail MakeRgbThumbnail(const uint8_t*, size_t, int32_t, int) {
  RgbThumbnail result;
  result.failure = ThumbnailFailure::kNotInThisBuild;
  return result;
}

}  // namespace imaging
