// What the thumbnail and preview handlers show of a RAW file: the embedded
// JPEG chosen for the size on screen, decoded by Windows' imaging component
// (WIC), reduced and turned upright, and one line describing the shot.
#pragma once

// clang-format off
#include <windows.h>
#include <wincodec.h>
// clang-format on

#include <cstdint>
#include <string>
#include <vector>

#include "engine/extract.h"
#include "engine/images.h"
#include "engine/input.h"

namespace shell {

// A JPEG whose frame holds more pixels than this is not decoded: without
// scaling in the decoder, WIC holds the whole frame (3 bytes a pixel, 450 MB
// here) in the handler's process. The largest camera previews are about
// 100 MP; anything beyond is not a preview.
constexpr uint64_t kMaxDecodedPixels = 150ull * 1000 * 1000;

// The largest side a handler is asked for: the thumbnail cache's largest
// size is 2560, and a preview pane is no wider than a screen.
constexpr UINT kMaxShownSide = 8192;

// The result of a file without a usable JPEG preview.
constexpr HRESULT kNoPreviewResult = E_FAIL;

// The embedded JPEG of one file for showing it at `cover` pixels.
struct RawPreview {
  engine::Identification identification;  // the camera's description, the reason
  engine::ExtractedPreview jpeg;          // empty when there is none
  std::string where;                      // which embedded image ("PRVW", "IFD0"...)
  int orientation = 1;                    // Exif 1..8: the JPEG's own tag, else the camera's
};

// Identifies the file and extracts the smallest complete JPEG whose longer
// side covers `cover` (converted files included). S_OK with a JPEG;
// kNoPreviewResult with identification.reason set when the file has none;
// the stream's failure when it failed.
HRESULT LoadRawPreview(const engine::ByteSource& source, int32_t cover, RawPreview* out);

// Upright pixels: rows top to bottom, 4 bytes a pixel (blue, green, red,
// 255), no padding.
struct BgraPicture {
  UINT width = 0;
  UINT height = 0;
  std::vector<uint8_t> pixels;
};

// How a JPEG was decoded, for tests and the benchmark.
struct DecodeReport {
  UINT jpegWidth = 0, jpegHeight = 0;        // the frame's size
  UINT decodedWidth = 0, decodedHeight = 0;  // what the decoder produced
  bool scaledInDecoder = false;              // IWICBitmapSourceTransform did the first step
};

// The size shown for a picture of `width` x `height` bounded to `bound` on
// its longer side: proportions kept, never enlarged, no side below 1.
void BoundedSize(UINT width, UINT height, UINT bound, UINT* out_width, UINT* out_height);

// Turns `stored` (width x height BGRA pixels) as Exif `orientation` says
// (2..8; anything else leaves the pixels as they are).
BgraPicture OrientPicture(BgraPicture stored, int orientation);

// Decodes the JPEG with WIC (the caller's thread has COM initialised),
// scaling in the decoder where it offers that, then with WIC's scaler, to
// `bound` on the longer side, and turns it upright.
HRESULT DecodeJpegUpright(const uint8_t* jpeg, size_t length, UINT bound, int orientation,
                          BgraPicture* out, DecodeReport* report = nullptr);

// A 32-bit top-down DIB section holding the picture.
HRESULT CreatePictureBitmap(const BgraPicture& picture, HBITMAP* out);

// One line about the shot: camera, date, exposure ("Canon EOS R6 · 2024-05-17
// 14:32 · 1/250 s · f/5.6 · ISO 200 · 50 mm"); parts the file lacks are left
// out.
std::wstring DescribeShot(const engine::CameraDescription& camera);

// The engine's reason in words, as one sentence for the pane.
std::wstring ReasonText(engine::NoPreviewReason reason);

}  // namespace shell
