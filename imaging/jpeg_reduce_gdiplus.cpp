// Measuring and reducing JPEG files through the GDI+ flat API (Windows).
// GDI+ must be started by the caller (the dialog framework keeps it up
// while any dialog object lives) and stay started until these return.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <cstring>
#include <memory>
#include <vector>

#include "imaging/imaging.h"
#include "platform/fs.h"

namespace imaging {
namespace {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

constexpr wchar_t kJpegMimeType[] = L"image/jpeg";
// EncoderQuality {1d5be4b5-fa4a-452d-9cdd-5db35105e7eb}.
constexpr GUID kEncoderQualityGuid = {
    0x1D5BE4B5, 0xFA4A, 0x452D, {0x9C, 0xDD, 0x5D, 0xB3, 0x51, 0x05, 0xE7, 0xEB}};
constexpr ULONG kEncoderParameterValueTypeLong = 4;
// Largest reduced copy accepted: far above any preview bound the dialog
// offers, low enough that the bitmap's pixel memory stays bounded.
constexpr int32_t kMaxTargetDimension = 32768;
// The installed encoder list is a few kilobytes; a larger answer is refused.
constexpr UINT kMaxEncoderListBytes = 1u << 20;
// The property items of one preview; Exif blocks stay far below this.
constexpr UINT kMaxPropertyBytes = 16u << 20;

const WCHAR* Wide(const std::u16string& text) {
  return reinterpret_cast<const WCHAR*>(text.c_str());
}

struct ImageDisposer {
  void operator()(GpImage* image) const { GdipDisposeImage(image); }
};
using ImageHandle = std::unique_ptr<GpImage, ImageDisposer>;

struct GraphicsDeleter {
  void operator()(GpGraphics* graphics) const { GdipDeleteGraphics(graphics); }
};
using GraphicsHandle = std::unique_ptr<GpGraphics, GraphicsDeleter>;

// A decoded image and its size; 0 by 0 without one.
struct JpegImage {
  ImageHandle image;
  UINT width = 0;
  UINT height = 0;

  bool Load(const std::u16string& path) {
    Release();
    GpImage* loaded = nullptr;
    // The plain loader: no colour management.
    if (GdipLoadImageFromFile(Wide(path), &loaded) != Ok || loaded == nullptr) return false;
    image.reset(loaded);
    if (GdipGetImageWidth(loaded, &width) != Ok || GdipGetImageHeight(loaded, &height) != Ok) {
      Release();
      return false;
    }
    return true;
  }
  // Disposing an image loaded from a file closes the file.
  void Release() {
    image.reset();
    width = 0;
    height = 0;
  }
};

// The class id of the first installed encoder whose MIME type is exactly
// `mime_type` (case-sensitive).
bool FindEncoder(const wchar_t* mime_type, CLSID* clsid) {
  UINT count = 0;
  UINT bytes = 0;
  if (GdipGetImageEncodersSize(&count, &bytes) != Ok || count == 0 || bytes == 0) return false;
  if (bytes > kMaxEncoderListBytes || bytes / count < sizeof(ImageCodecInfo)) return false;
  std::vector<unsigned char> buffer(bytes);
  auto* codecs = reinterpret_cast<ImageCodecInfo*>(buffer.data());
  if (GdipGetImageEncoders(count, bytes, codecs) != Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (codecs[i].MimeType != nullptr && std::wcscmp(codecs[i].MimeType, mime_type) == 0) {
      *clsid = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

// Every property item of `source`, in the order returned, set on `target`
// unchanged; an item GDI+ refuses is skipped.
void CopyPropertyItems(GpImage* source, GpImage* target) {
  UINT bytes = 0;
  UINT count = 0;
  if (GdipGetPropertySize(source, &bytes, &count) != Ok || count == 0 || bytes == 0) return;
  if (bytes > kMaxPropertyBytes || bytes / count < sizeof(PropertyItem)) return;
  std::vector<unsigned char> buffer(bytes);
  auto* items = reinterpret_cast<PropertyItem*>(buffer.data());
  if (GdipGetAllPropertyItems(source, bytes, count, items) != Ok) return;
  for (UINT i = 0; i < count; ++i) GdipSetPropertyItem(target, &items[i]);
}

std::u16string FolderOf(const std::u16string& path) {
  const size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string(u".") : path.substr(0, slash);
}

}  // namespace

ImageSize MeasureJpegFile(const std::u16string& path) {
  JpegImage picture;
  if (!picture.Load(path)) return ImageSize{};
  return ImageSize{static_cast<int32_t>(picture.width), static_cast<int32_t>(picture.height)};
}

bool ReduceJpegFile(const std::u16string& path, int32_t targetWidth, int32_t targetHeight) {
  // A target of 0 or below cannot be a bitmap; the file keeps its bytes.
  if (targetWidth <= 0 || targetHeight <= 0) return false;
  if (targetWidth > kMaxTargetDimension || targetHeight > kMaxTargetDimension) return false;

  JpegImage picture;
  if (!picture.Load(path)) return false;
  PixelFormat format = PixelFormat24bppRGB;
  if (GdipGetImagePixelFormat(picture.image.get(), &format) != Ok) return false;
  // GDI+ decodes a greyscale JPEG to an indexed format, on which no graphics
  // context can be opened: such a copy would silently stay full size. The
  // reduction draws into 24-bit RGB instead, which keeps the grey look.
  if (format & PixelFormatIndexed) format = PixelFormat24bppRGB;

  GpBitmap* created = nullptr;
  if (GdipCreateBitmapFromScan0(targetWidth, targetHeight, 0, format, nullptr, &created) != Ok ||
      created == nullptr) {
    return false;
  }
  ImageHandle reduced(created);

  {
    GpGraphics* context = nullptr;
    if (GdipGetImageGraphicsContext(reduced.get(), &context) != Ok || context == nullptr) {
      return false;
    }
    GraphicsHandle graphics(context);
    GdipSetInterpolationMode(context, InterpolationModeHighQualityBicubic);
    if (GdipDrawImageRectI(context, picture.image.get(), 0, 0, targetWidth, targetHeight) != Ok) {
      return false;
    }
  }
  CopyPropertyItems(picture.image.get(), reduced.get());
  picture.Release();  // closes the source file

  CLSID encoder;
  if (!FindEncoder(kJpegMimeType, &encoder)) return false;
  ULONG quality = kReducedJpegQuality;
  EncoderParameters parameters;
  parameters.Count = 1;
  parameters.Parameter[0].Guid = kEncoderQualityGuid;
  parameters.Parameter[0].NumberOfValues = 1;
  parameters.Parameter[0].Type = kEncoderParameterValueTypeLong;
  parameters.Parameter[0].Value = &quality;

  // Encoded beside the file and moved over it only when complete: a failed
  // encode or a full disk leaves the full-size bytes in place.
  platform::NewFile placeholder;
  std::u16string temporary;
  if (!platform::CreateUniqueFile(FolderOf(path), u".rlft-reduce-", u".tmp", &placeholder,
                                  &temporary, u'\\')) {
    return false;
  }
  placeholder.Close();
  const bool saved =
      GdipSaveImageToFile(reduced.get(), Wide(temporary), &encoder, &parameters) == Ok;
  reduced.reset();  // closes the written file
  if (!saved || !platform::RenameReplacing(temporary, path)) {
    platform::RemoveFile(temporary);
    return false;
  }
  return true;
}

}  // namespace imaging
