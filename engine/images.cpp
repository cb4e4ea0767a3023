#include "engine/images.h"

#include <cstring>
#include <memory>

#include "engine/extract.h"
#include "engine/parse_state.h"

namespace engine {

const char* ImageKindName(ImageKind kind) {
  switch (kind) {
    case ImageKind::kJpeg:
      return "jpeg";
    case ImageKind::kJpegXl:
      return "jpegxl";
    case ImageKind::kBitmap:
      return "bitmap";
    case ImageKind::kOther:
      return "other";
  }
  return "other";
}

ImageChoice ChooseImage(const Identification& id, const ImageUse& use) {
  ImageChoice choice;
  const bool converted_taken =
      use.accept_converted && id.reason == NoPreviewReason::kConvertedFile;
  if (use.cover <= 0 && !converted_taken) {
    choice.reason = id.reason;
    if (id.reason == NoPreviewReason::kNone) choice.index = id.extraction_choice;
    return choice;
  }
  if (id.reason != NoPreviewReason::kNone && !converted_taken) {
    choice.reason = id.reason;
    return choice;
  }
  // Among the complete JPEGs: the smallest whose longer side covers the size,
  // else the largest. Area decides between the two sides' equals; the list's
  // order (the order the parsers met them) decides the rest.
  const uint32_t cover = use.cover > 0 ? static_cast<uint32_t>(use.cover) : UINT32_MAX;
  int smallest_covering = -1, largest = -1;
  auto area = [&](int i) {
    return static_cast<uint64_t>(id.images[i].width) * id.images[i].height;
  };
  for (int i = 0; i < static_cast<int>(id.images.size()); ++i) {
    const EmbeddedImage& image = id.images[i];
    if (image.kind != ImageKind::kJpeg || !image.complete) continue;
    if (largest < 0 || area(i) > area(largest)) largest = i;
    if (image.LongerSide() >= cover &&
        (smallest_covering < 0 || area(i) < area(smallest_covering)))
      smallest_covering = i;
  }
  choice.index = smallest_covering >= 0 ? smallest_covering : largest;
  if (choice.index < 0) {
    // Extraction found a JPEG (or the converted file's reason stood): the
    // list has none complete only when extraction would find none either.
    choice.reason = id.reason != NoPreviewReason::kNone ? id.reason : NoPreviewReason::kNoPreview;
  }
  return choice;
}

}  // namespace engine
