#include "engine/outcome.h"

namespace engine {

const char* NoPreviewReasonText(NoPreviewReason reason) {
  switch (reason) {
    case NoPreviewReason::kNone:
      return "";
    case NoPreviewReason::kCannotOpen:
      return "cannot be opened";
    case NoPreviewReason::kConvertedFile:
      return "not a camera raw file: written by a raw converter";
    case NoPreviewReason::kOrdinaryImage:
      return "not a camera raw file: an ordinary image";
    case NoPreviewReason::kPlainJpeg:
      return "not a camera raw file: a JPEG";
    case NoPreviewReason::kUnknownContainer:
      return "not a camera raw file: unknown container";
    case NoPreviewReason::kNoRawImage:
      return "not a camera raw file: no raw image in a known form";
    case NoPreviewReason::kBitmapPreviewOnly:
      return "raw file without a JPEG preview: bitmap preview only";
    case NoPreviewReason::kJpegXlPreviewOnly:
      return "raw file without a JPEG preview: JPEG XL preview only";
    case NoPreviewReason::kNoPreview:
      return "raw file without a JPEG preview";
    case NoPreviewReason::kPreviewOutsideFile:
      return "preview lies outside the file (cut short?)";
    case NoPreviewReason::kPreviewNotJpeg:
      return "preview bytes are not a JPEG stream";
    case NoPreviewReason::kFileCutShort:
      return "file cut short: its raw image or preview lies past the end";
    case NoPreviewReason::kPreviewTooLarge:
      return "preview larger than any camera writes";
    case NoPreviewReason::kOutOfMemory:
      return "out of memory";
  }
  return "";
}

}  // namespace engine
