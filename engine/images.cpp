#include "engine/images.h"

#include <cstring>
#include <memory>

#include "engine/limits.h"

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
  const bool converted = use.accept_converted && id.reason == NoPreviewReason::kConvertedFile;
  if (converted && id.converted_reason != NoPreviewReason::kNone) {
    choice.reason = id.converted_reason;
    return choice;
  }
  // The preview the rules name: extraction's, or a converted file's.
  const int rules_preview = converted ? id.rules_choice : id.extraction_choice;
  if (id.reason != NoPreviewReason::kNone && !converted) {
    choice.reason = id.reason;
    return choice;
  }
  if (use.cover <= 0) {
    choice.index = rules_preview;
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
    if (image.kind != ImageKind::kJpeg || !image.complete || !WithinEmbeddedBound(image.length))
      continue;
    if (largest < 0 || area(i) > area(largest)) largest = i;
    if (image.LongerSide() >= cover && (smallest_covering < 0 || area(i) < area(smallest_covering)))
      smallest_covering = i;
  }
  choice.index = smallest_covering >= 0 ? smallest_covering : largest;
  // A preview whose own markers hide its frame is still the rules' preview.
  if (choice.index < 0) choice.index = rules_preview;
  return choice;
}

}  // namespace engine
