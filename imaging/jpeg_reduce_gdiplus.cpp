// Measuring and reducing JPEGs through the GDI+ flat API (Windows). A preview
// in memory is read through a stream over a copy of its bytes, and the
// reduced copy is encoded into a stream in memory.
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
// Largest picture passed through a stream in memory, either way: camera
// previews are a few tens of megabytes at most, and a copy of each is held.
constexpr size_t kMaxStreamBytes = size_t{1} << 30;

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

struct StreamReleaser {
  void operator()(IStream* stream) const { stream->Release(); }
};
using StreamHandle = std::unique_ptr<IStream, StreamReleaser>;

// A stream reading a copy of the bytes; null when memory is short.
StreamHandle StreamOverCopy(const uint8_t* bytes, size_t length) {
  if (length == 0 || length > kMaxStreamBytes) return nullptr;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, length);
  if (block == nullptr) return nullptr;
  void* place = GlobalLock(block);
  if (place == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  std::memcpy(place, bytes, length);
  GlobalUnlock(block);
  IStream* stream = nullptr;
  // The stream frees the block when it is released.
  if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream)) || stream == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  return StreamHandle(stream);
}

// Everything written to a stream made by CreateStreamOnHGlobal(null), as bytes.
bool StreamContents(IStream* stream, std::vector<uint8_t>* bytes) {
  STATSTG status;
  if (FAILED(stream->Stat(&status, STATFLAG_NONAME))) return false;
  if (status.cbSize.QuadPart == 0 || status.cbSize.QuadPart > kMaxStreamBytes) return false;
  HGLOBAL block = nullptr;
  if (FAILED(GetHGlobalFromStream(stream, &block)) || block == nullptr) return false;
  const size_t length = static_cast<size_t>(status.cbSize.QuadPart);
  if (GlobalSize(block) < length) return false;
  const void* place = GlobalLock(block);
  if (place == nullptr) return false;
  const auto* begin = static_cast<const uint8_t*>(place);
  bytes->assign(begin, begin + length);
  GlobalUnlock(block);
  return true;
}

// A decoded image and its size; 0 by 0 without one. An image loaded from a
// stream reads it for as long as it lives, so the stream is kept with it.
struct JpegImage {
  StreamHandle stream;
  ImageHandle image;
  UINT width = 0;
  UINT height = 0;

  bool Load(const std::u16string& path) {
    Release();
    GpImage* loaded = nullptr;
    // The plain loader: no colour management.
    if (GdipLoadImageFromFile(Wide(path), &loaded) != Ok || loaded == nullptr) return false;
    return Take(loaded);
  }
  bool Load(const uint8_t* bytes, size_t length) {
    Release();
    stream = StreamOverCopy(bytes, length);
    GpImage* loaded = nullptr;
    // The same decoder as for a file, without colour management either.
    if (!stream || GdipLoadImageFromStream(stream.get(), &loaded) != Ok || loaded == nullptr) {
      Release();
      return false;
    }
    return Take(loaded);
  }
  // Disposing an image loaded from a file closes the file.
  void Release() {
    image.reset();
    stream.reset();
    width = 0;
    height = 0;
  }

 private:
  bool Take(GpImage* loaded) {
    image.reset(loaded);
    if (GdipGetImageWidth(loaded, &width) != Ok || GdipGetImageHeight(loaded, &height) != Ok) {
      Release();
      return false;
    }
    return true;
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

}  // namespace

ImageSize MeasureJpeg(const uint8_t* jpeg, size_t length) {
  JpegImage picture;
  if (jpeg == nullptr || !picture.Load(jpeg, length)) return ImageSize{};
  return ImageSize{static_cast<int32_t>(picture.width), static_cast<int32_t>(picture.height)};
}

ImageSize MeasureJpegFile(const std::u16string& path) {
  JpegImage picture;
  if (!picture.Load(path)) return ImageSize{};
  return ImageSize{static_cast<int32_t>(picture.width), static_cast<int32_t>(picture.height)};
}

bool ReduceJpeg(const uint8_t* jpeg, size_t length, int32_t targetWidth, int32_t targetHeight,
                std::vector<uint8_t>* reduced) {
  reduced->clear();
  // A target of 0 or below cannot be a bitmap.
  if (targetWidth <= 0 || targetHeight <= 0) return false;
  if (targetWidth > kMaxTargetDimension || targetHeight > kMaxTargetDimension) return false;

  JpegImage picture;
  if (jpeg == nullptr || !picture.Load(jpeg, length)) return false;
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
  ImageHandle bitmap(created);

  {
    GpGraphics* context = nullptr;
    if (GdipGetImageGraphicsContext(bitmap.get(), &context) != Ok || context == nullptr) {
      return false;
    }
    GraphicsHandle graphics(context);
    GdipSetInterpolationMode(context, InterpolationModeHighQualityBicubic);
    if (GdipDrawImageRectI(context, picture.image.get(), 0, 0, targetWidth, targetHeight) != Ok) {
      return false;
    }
  }
  CopyPropertyItems(picture.image.get(), bitmap.get());
  picture.Release();  // the source's copy goes before the encoded one is made

  CLSID encoder;
  if (!FindEncoder(kJpegMimeType, &encoder)) return false;
  ULONG quality = kReducedJpegQuality;
  EncoderParameters parameters;
  parameters.Count = 1;
  parameters.Parameter[0].Guid = kEncoderQualityGuid;
  parameters.Parameter[0].NumberOfValues = 1;
  parameters.Parameter[0].Type = kEncoderParameterValueTypeLong;
  parameters.Parameter[0].Value = &quality;

  IStream* opened = nullptr;
  // A growing block of its own, freed with the stream.
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &opened)) || opened == nullptr) return false;
  const StreamHandle output(opened);
  if (GdipSaveImageToStream(bitmap.get(), output.get(), &encoder, &parameters) != Ok ||
      !StreamContents(output.get(), reduced)) {
    reduced->clear();
    return false;
  }
  return true;
}

}  // namespace imaging
