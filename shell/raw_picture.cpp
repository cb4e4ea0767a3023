#include "shell/raw_picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "imaging/thumbnail.h"

namespace shell {
namespace {

// IWICBitmapSourceTransform, which the SDK headers of this toolchain lack:
// the decoder's own scaling (for JPEG, in the DCT domain).
// {3B16811B-6A43-4EC9-B713-3D5A0C13B940}
constexpr IID kIidBitmapSourceTransform = {
    0x3B16811B, 0x6A43, 0x4EC9, {0xB7, 0x13, 0x3D, 0x5A, 0x0C, 0x13, 0xB9, 0x40}};
struct BitmapSourceTransform : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT width, UINT height,
                                               WICPixelFormatGUID* format,
                                               WICBitmapTransformOptions transform, UINT stride,
                                               UINT buffer_size, BYTE* buffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClosestSize(UINT* width, UINT* height) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClosestPixelFormat(WICPixelFormatGUID* format) = 0;
  virtual HRESULT STDMETHODCALLTYPE DoesSupportTransform(WICBitmapTransformOptions transform,
                                                         BOOL* supported) = 0;
};

// Releases a COM pointer when it goes out of scope.
template <class T>
class Held {
 public:
  Held() = default;
  ~Held() {
    if (p_ != nullptr) p_->Release();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** put() { return &p_; }
  void** put_void() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

HRESULT CheckedStride(UINT width, UINT bytes_per_pixel, UINT height, UINT* stride, UINT* size) {
  const uint64_t row = uint64_t{width} * bytes_per_pixel;
  const uint64_t total = row * height;
  if (row > UINT32_MAX || total > UINT32_MAX) return E_OUTOFMEMORY;
  *stride = static_cast<UINT>(row);
  *size = static_cast<UINT>(total);
  return S_OK;
}

// The first decoding step through the decoder's own scaling: the smallest
// size it offers that still covers width x height, as a WIC bitmap. S_FALSE
// when the decoder offers nothing useful (the caller goes on without it).
HRESULT DecodeScaled(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, UINT width,
                     UINT height, UINT full_width, UINT full_height, IWICBitmap** out,
                     DecodeReport* report) {
  Held<BitmapSourceTransform> transform;
  if (FAILED(frame->QueryInterface(kIidBitmapSourceTransform, transform.put_void()))) {
    return S_FALSE;
  }
  // The decoder may round down: ask for larger sizes until one covers the
  // target (each step doubles, up to the whole frame).
  UINT scaled_width = 0, scaled_height = 0;
  bool found = false;
  for (UINT factor = 1; factor <= 8 && !found; factor *= 2) {
    scaled_width = static_cast<UINT>(std::min<uint64_t>(uint64_t{width} * factor, full_width));
    scaled_height = static_cast<UINT>(std::min<uint64_t>(uint64_t{height} * factor, full_height));
    if (FAILED(transform->GetClosestSize(&scaled_width, &scaled_height))) return S_FALSE;
    found = scaled_width >= width && scaled_height >= height;
  }
  // Only a real reduction that still covers the target is of use.
  if (!found || scaled_width > full_width || scaled_height > full_height ||
      (scaled_width == full_width && scaled_height == full_height)) {
    return S_FALSE;
  }
  // The decoder's own format: colour as 24-bit BGR, grey as 8 bits.
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  if (FAILED(transform->GetClosestPixelFormat(&format))) return S_FALSE;
  UINT bytes_per_pixel = 0;
  if (IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) {
    bytes_per_pixel = 3;
  } else if (IsEqualGUID(format, GUID_WICPixelFormat8bppGray)) {
    bytes_per_pixel = 1;
  } else if (IsEqualGUID(format, GUID_WICPixelFormat32bppBGR) ||
             IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA)) {
    bytes_per_pixel = 4;
  } else {
    return S_FALSE;
  }
  const WICPixelFormatGUID asked = format;
  UINT stride = 0, size = 0;
  HRESULT result = CheckedStride(scaled_width, bytes_per_pixel, scaled_height, &stride, &size);
  if (FAILED(result)) return result;
  std::vector<BYTE> pixels(size);
  result = transform->CopyPixels(nullptr, scaled_width, scaled_height, &format,
                                 WICBitmapTransformRotate0, stride, size, pixels.data());
  if (FAILED(result) || !IsEqualGUID(format, asked)) return S_FALSE;
  result = factory->CreateBitmapFromMemory(scaled_width, scaled_height, format, stride, size,
                                           pixels.data(), out);
  if (FAILED(result)) return result;
  if (report != nullptr) {
    report->decodedWidth = scaled_width;
    report->decodedHeight = scaled_height;
    report->scaledInDecoder = true;
  }
  return S_OK;
}

std::wstring Widen(const std::string& text) {
  // The file's 8-bit texts are Latin-1 in practice.
  std::wstring wide;
  for (unsigned char c : text) {
    if (c == 0) break;
    wide += static_cast<wchar_t>(c);
  }
  while (!wide.empty() && wide.back() == L' ') wide.pop_back();
  return wide;
}

std::wstring Format(const wchar_t* format, double value) {
  wchar_t buffer[64];
  const int n = _snwprintf(buffer, 64, format, value);
  return n > 0 && n < 64 ? std::wstring(buffer, static_cast<size_t>(n)) : std::wstring();
}

}  // namespace

HRESULT LoadRawPreview(const engine::ByteSource& source, int32_t cover, RawPreview* out) {
  *out = RawPreview();
  if (!engine::IdentifyImages(source, std::string(), platform::NativePath(),
                              &out->identification)) {
    out->identification.reason = engine::NoPreviewReason::kCannotOpen;
    return kNoPreviewResult;
  }
  engine::ImageUse use;
  use.cover = cover;
  use.accept_converted = true;
  const engine::ImageChoice choice = engine::ChooseImage(out->identification, use);
  if (choice.index < 0 || static_cast<size_t>(choice.index) >= out->identification.images.size()) {
    if (choice.reason != engine::NoPreviewReason::kNone) {
      out->identification.reason = choice.reason;
    } else if (out->identification.reason == engine::NoPreviewReason::kNone) {
      out->identification.reason = engine::NoPreviewReason::kNoPreview;
    }
    return kNoPreviewResult;
  }
  out->where = out->identification.images[static_cast<size_t>(choice.index)].where;
  engine::ExtractOptions options;
  options.use = use;
  out->jpeg =
      engine::ExtractEmbeddedPreviewFrom(source, std::string(), platform::NativePath(), options);
  if (!out->jpeg.extracted()) {
    if (out->jpeg.reason != engine::NoPreviewReason::kNone) {
      out->identification.reason = out->jpeg.reason;
    }
    return kNoPreviewResult;
  }
  // The preview's own Exif decides; without an Orientation tag, the camera's.
  const int tag = imaging::ExifOrientationTagOfJpeg(out->jpeg.bytes.get(), out->jpeg.length);
  out->orientation = tag != 0 ? tag : out->identification.camera.exif_orientation;
  if (out->orientation < 1 || out->orientation > 8) out->orientation = 1;
  return S_OK;
}

void BoundedSize(UINT width, UINT height, UINT bound, UINT* out_width, UINT* out_height) {
  const UINT longer = width > height ? width : height;
  if (longer == 0 || bound == 0 || longer <= bound) {
    *out_width = width;
    *out_height = height;
    return;
  }
  // Rounded to the nearest pixel; the longer side is exactly the bound.
  auto scale = [&](UINT side) {
    const uint64_t scaled = (uint64_t{side} * bound * 2 + longer) / (uint64_t{longer} * 2);
    return scaled == 0 ? 1u : static_cast<UINT>(scaled);
  };
  *out_width = width == longer ? bound : scale(width);
  *out_height = height == longer ? bound : scale(height);
}

BgraPicture OrientPicture(BgraPicture stored, int orientation) {
  const uint64_t w = stored.width, h = stored.height;
  if (orientation < 2 || orientation > 8 || stored.pixels.size() != w * h * 4) return stored;
  const bool turned = orientation >= 5;
  BgraPicture out;
  out.width = turned ? stored.height : stored.width;
  out.height = turned ? stored.width : stored.height;
  out.pixels.resize(stored.pixels.size());
  imaging::OrientPixels(stored.pixels.data(), int64_t(w), int64_t(h), 4, orientation,
                        out.pixels.data());
  return out;
}

HRESULT DecodeJpegUpright(const uint8_t* jpeg, size_t length, UINT bound, int orientation,
                          BgraPicture* out, DecodeReport* report) {
  *out = BgraPicture();
  if (jpeg == nullptr || length == 0 || length > UINT32_MAX) return E_INVALIDARG;
  if (bound == 0 || bound > kMaxShownSide) return E_INVALIDARG;
  Held<IWICImagingFactory> factory;
  HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWICImagingFactory, factory.put_void());
  if (FAILED(result)) return result;
  Held<IWICStream> stream;
  result = factory->CreateStream(stream.put());
  if (FAILED(result)) return result;
  result = stream->InitializeFromMemory(const_cast<BYTE*>(jpeg), static_cast<DWORD>(length));
  if (FAILED(result)) return result;
  Held<IWICBitmapDecoder> decoder;
  result = factory->CreateDecoder(GUID_ContainerFormatJpeg, nullptr, decoder.put());
  if (FAILED(result)) return result;
  result = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
  if (FAILED(result)) return result;
  Held<IWICBitmapFrameDecode> frame;
  result = decoder->GetFrame(0, frame.put());
  if (FAILED(result)) return result;
  UINT full_width = 0, full_height = 0;
  result = frame->GetSize(&full_width, &full_height);
  if (FAILED(result)) return result;
  if (full_width == 0 || full_height == 0) return WINCODEC_ERR_BADIMAGE;
  if (uint64_t{full_width} * full_height > kMaxDecodedPixels)
    return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
  if (report != nullptr) {
    *report = DecodeReport();
    report->jpegWidth = report->decodedWidth = full_width;
    report->jpegHeight = report->decodedHeight = full_height;
  }

  UINT width = 0, height = 0;
  BoundedSize(full_width, full_height, bound, &width, &height);
  Held<IWICBitmap> scaled;
  IWICBitmapSource* first = frame.get();
  UINT first_width = full_width, first_height = full_height;
  if (width != full_width || height != full_height) {
    result = DecodeScaled(factory.get(), frame.get(), width, height, full_width, full_height,
                          scaled.put(), report);
    if (FAILED(result)) return result;
    if (result == S_OK) {
      first = scaled.get();
      result = first->GetSize(&first_width, &first_height);
      if (FAILED(result)) return result;
    }
  }
  Held<IWICBitmapScaler> scaler;
  IWICBitmapSource* sized = first;
  if (first_width != width || first_height != height) {
    result = factory->CreateBitmapScaler(scaler.put());
    if (FAILED(result)) return result;
    result = scaler->Initialize(first, width, height, WICBitmapInterpolationModeFant);
    if (FAILED(result)) return result;
    sized = scaler.get();
  }
  Held<IWICFormatConverter> converter;
  result = factory->CreateFormatConverter(converter.put());
  if (FAILED(result)) return result;
  result = converter->Initialize(sized, GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone,
                                 nullptr, 0.0, WICBitmapPaletteTypeCustom);
  if (FAILED(result)) return result;
  UINT stride = 0, size = 0;
  result = CheckedStride(width, 4, height, &stride, &size);
  if (FAILED(result)) return result;
  BgraPicture stored;
  stored.width = width;
  stored.height = height;
  stored.pixels.resize(size);
  result = converter->CopyPixels(nullptr, stride, size, stored.pixels.data());
  if (FAILED(result)) return result;
  for (size_t at = 3; at < stored.pixels.size(); at += 4) stored.pixels[at] = 0xFF;
  *out = OrientPicture(std::move(stored), orientation);
  return S_OK;
}

HRESULT CreatePictureBitmap(const BgraPicture& picture, HBITMAP* out) {
  *out = nullptr;
  if (picture.width == 0 || picture.height == 0 || picture.width > kMaxShownSide ||
      picture.height > kMaxShownSide ||
      picture.pixels.size() != uint64_t{picture.width} * picture.height * 4) {
    return E_INVALIDARG;
  }
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = static_cast<LONG>(picture.width);
  info.bmiHeader.biHeight = -static_cast<LONG>(picture.height);  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr || bits == nullptr) {
    if (bitmap != nullptr) DeleteObject(bitmap);
    return E_OUTOFMEMORY;
  }
  std::memcpy(bits, picture.pixels.data(), picture.pixels.size());
  *out = bitmap;
  return S_OK;
}

std::wstring DescribeShot(const engine::CameraDescription& camera) {
  std::vector<std::wstring> parts;
  const std::wstring make = Widen(camera.make), model = Widen(camera.model);
  // Most models already begin with the make ("Canon EOS R6").
  std::wstring name = model;
  if (!make.empty() && model.compare(0, make.size(), make) != 0) {
    name = model.empty() ? make : make + L" " + model;
  }
  if (!name.empty()) parts.push_back(name);
  if (camera.timestamp > 0) {
    // The engine read the camera's local time as local time: shown back as such.
    const __time64_t when = camera.timestamp;
    struct tm local = {};
    wchar_t buffer[32];
    if (_localtime64_s(&local, &when) == 0 && wcsftime(buffer, 32, L"%Y-%m-%d %H:%M", &local) > 0) {
      parts.push_back(buffer);
    }
  }
  if (camera.shutter > 0) {
    if (camera.shutter < 1) {
      parts.push_back(Format(L"1/%.0f s", 1.0 / camera.shutter));
    } else {
      parts.push_back(Format(L"%g s", std::round(camera.shutter * 10) / 10));
    }
  }
  if (camera.aperture > 0) parts.push_back(Format(L"f/%.2g", camera.aperture));
  if (camera.iso_speed > 0) parts.push_back(Format(L"ISO %.0f", camera.iso_speed));
  if (camera.focal_length > 0) parts.push_back(Format(L"%.0f mm", camera.focal_length));
  std::wstring line;
  for (const std::wstring& part : parts) {
    if (!line.empty()) line += L" \u00B7 ";
    line += part;
  }
  return line;
}

std::wstring ReasonText(engine::NoPreviewReason reason) {
  const char* text = engine::NoPreviewReasonText(reason);
  std::wstring wide = Widen(text != nullptr ? text : "");
  if (wide.empty()) wide = L"no preview";
  if (wide[0] >= L'a' && wide[0] <= L'z') wide[0] = static_cast<wchar_t>(wide[0] - L'a' + L'A');
  return wide;
}

}  // namespace shell
