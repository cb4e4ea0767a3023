// Why a camera file gave no JPEG preview: a small closed set that callers can
// act on and show in plain words.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace engine {

enum class NoPreviewReason : uint8_t {
  kNone = 0,            // a JPEG was extracted
  kCannotOpen,          // the file cannot be opened or read
  kConvertedFile,       // not a camera raw file: written by a raw converter
  kOrdinaryImage,       // not a camera raw file: an ordinary RGB or greyscale image
  kPlainJpeg,           // not a camera raw file: a JPEG
  kUnknownContainer,    // not a camera raw file: no camera container recognised
  kNoRawImage,          // a camera container, but no raw image in a form the rules know
  kBitmapPreviewOnly,   // raw, but its preview is an uncompressed bitmap
  kJpegXlPreviewOnly,   // raw, but its only full preview is JPEG XL
  kNoPreview,           // raw, without any preview
  kPreviewOutsideFile,  // the preview runs past the end of the file (a file cut short)
  kPreviewNotJpeg,      // the bytes where the preview lies are no JPEG stream
  kOutOfMemory,
  // Later reasons come after the first ones, so that every code keeps its
  // number (the library's header gives them to other programs).
  kFileCutShort,     // a camera's file whose raw image or preview lies past its end
  kPreviewTooLarge,  // the preview's stored length is more than any camera writes
};

// The reason in plain words ("not a camera raw file: written by a raw
// converter"); empty for kNone.
const char* NoPreviewReasonText(NoPreviewReason reason);

// Where the engine's diagnostics go (one line per call, with its newline);
// an empty sink keeps the engine silent.
using DiagnosticSink = std::function<void(const std::string& line)>;

}  // namespace engine
