// The thumbnail handler of RididaViz.DLL as the Explorer calls it: created
// through the module's class factory, initialised with a stream on a
// synthetic camera file, GetThumbnail at the sizes the Explorer asks for.
// Sizes, proportions and upright corners for all eight orientations, which
// embedded JPEG is shown, refusals, a stream that fails half-way, hostile
// files, handles after many calls, and several threads at once.
// clang-format off
#include <windows.h>
#include <propsys.h>
#include <shlwapi.h>
#include <thumbcache.h>
// clang-format on

#include "shell/thumbnail_provider.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "shell/guids.h"
#include "shell/raw_picture.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/cr3_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/windows/win_test_support.h"

namespace {

using fixtures::Bytes;
using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

HMODULE Module() {
  static HMODULE module = LoadLibraryW(wintest::ModulePath().c_str());
  return module;
}

// A new handler through the module's factory, as COM creates it.
IThumbnailProvider* CreateProvider() {
  auto get = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(Module(), "DllGetClassObject")));
  if (get == nullptr) return nullptr;
  IClassFactory* factory = nullptr;
  if (FAILED(get(shell::kThumbnailProviderClsid, IID_IClassFactory,
                 reinterpret_cast<void**>(&factory)))) {
    return nullptr;
  }
  IThumbnailProvider* provider = nullptr;
  factory->CreateInstance(nullptr, shell::kIidThumbnailProvider,
                          reinterpret_cast<void**>(&provider));
  factory->Release();
  return provider;
}

// A memory stream whose reads fail once they reach `fail_at` bytes (never
// when negative), and whose Stat may be missing (E_NOTIMPL).
class FailingStream final : public IStream {
 public:
  FailingStream(Bytes bytes, int64_t fail_at, bool stat = true)
      : bytes_(std::move(bytes)), fail_at_(fail_at), stat_(stat) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStream) ||
        IsEqualIID(riid, IID_ISequentialStream)) {
      *out = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP Read(void* buffer, ULONG n, ULONG* got) override {
    if (got != nullptr) *got = 0;
    if (fail_at_ >= 0 && position_ + n > static_cast<uint64_t>(fail_at_)) {
      return STG_E_READFAULT;
    }
    const uint64_t left = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
    const ULONG count = static_cast<ULONG>(std::min<uint64_t>(n, left));
    std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    if (got != nullptr) *got = count;
    return count == n ? S_OK : S_FALSE;
  }
  STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
  STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* at) override {
    int64_t base = origin == STREAM_SEEK_SET   ? 0
                   : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(position_)
                                               : static_cast<int64_t>(bytes_.size());
    if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<uint64_t>(base + move.QuadPart);
    if (at != nullptr) at->QuadPart = position_;
    return S_OK;
  }
  STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Revert() override { return E_NOTIMPL; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Stat(STATSTG* stat, DWORD) override {
    *stat = STATSTG();
    if (!stat_) return E_NOTIMPL;
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = bytes_.size();
    return S_OK;
  }
  STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

 private:
  ~FailingStream() = default;
  Bytes bytes_;
  int64_t fail_at_;
  bool stat_;
  uint64_t position_ = 0;
  ULONG references_ = 1;
};

struct Thumb {
  HRESULT result = E_FAIL;
  int width = 0, height = 0;  // 0: no bitmap
  WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
  std::string corners;  // shown top left, top right, bottom left, bottom right
  std::vector<uint32_t> pixels;
};

char Classify(uint32_t bgra) {
  const int b = bgra & 0xFF, g = (bgra >> 8) & 0xFF, r = (bgra >> 16) & 0xFF;
  if (r > 180 && g > 180 && b > 180) return 'W';
  if (r > 160 && g < 90 && b < 90) return 'R';
  if (g > 160 && r < 90 && b < 90) return 'G';
  if (b > 160 && r < 90 && g < 90) return 'B';
  return '?';
}

// The whole call sequence on one stream; the bitmap is read back and deleted.
Thumb GetThumb(IStream* stream, UINT size) {
  Thumb thumb;
  IThumbnailProvider* provider = CreateProvider();
  if (provider == nullptr) return thumb;
  IInitializeWithStream* init = nullptr;
  provider->QueryInterface(IID_IInitializeWithStream, reinterpret_cast<void**>(&init));
  if (init != nullptr) {
    init->Initialize(stream, STGM_READ);
    init->Release();
  }
  HBITMAP bitmap = nullptr;
  thumb.result = provider->GetThumbnail(size, &bitmap, &thumb.alpha);
  provider->Release();
  if (bitmap == nullptr) return thumb;
  DIBSECTION section = {};
  if (GetObjectW(bitmap, sizeof section, &section) == sizeof section &&
      section.dsBm.bmBitsPixel == 32) {
    // The sign of the reported height varies between systems: the rows as
    // shown come from GetDIBits asked for a top-down copy.
    const int w = section.dsBm.bmWidth, h = section.dsBm.bmHeight;
    thumb.width = w;
    thumb.height = h;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    thumb.pixels.resize(size_t(w) * h);
    HDC dc = GetDC(nullptr);
    const int rows = GetDIBits(dc, bitmap, 0, h, thumb.pixels.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    // The bitmap itself must be top-down, as the thumbnail cache reads it.
    DIBSECTION again = {};
    GetObjectW(bitmap, sizeof again, &again);
    const auto* bits = static_cast<const uint32_t*>(again.dsBm.bmBits);
    if (rows == h && bits != nullptr &&
        std::equal(thumb.pixels.begin(), thumb.pixels.end(), bits)) {
      auto at = [&](double fx, double fy) {
        return Classify(thumb.pixels[size_t(int(fy * (h - 1))) * w + size_t(int(fx * (w - 1)))]);
      };
      thumb.corners = {at(0.25, 0.25), at(0.75, 0.25), at(0.25, 0.75), at(0.75, 0.75)};
    } else {
      thumb.corners = "not top-down";
    }
  }
  DeleteObject(bitmap);
  return thumb;
}

Thumb GetThumb(const Bytes& file, UINT size) {
  IStream* stream = SHCreateMemStream(file.data(), static_cast<UINT>(file.size()));
  Thumb thumb = GetThumb(stream, size);
  if (stream != nullptr) stream->Release();
  return thumb;
}

Bytes Quarters(int width, int height, fixtures::JpegApp app = fixtures::JpegApp::Jfif) {
  fixtures::JpegOptions options;
  options.width = width;
  options.height = height;
  options.picture = fixtures::JpegPicture::Quarters;
  options.app = app;
  return fixtures::MakeJpeg(options);
}

Bytes Gradients(int width, int height, uint32_t seed) {
  fixtures::JpegOptions options;
  options.width = width;
  options.height = height;
  options.seed = seed;
  return fixtures::MakeJpeg(options);
}

class ThumbnailProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_NE(Module(), nullptr) << "cannot load the module";
  }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(ThumbnailProviderTest, SizesProportionsAndUprightCornersForEveryOrientation) {
  // Quarters: red top left, green top right, blue bottom left, white bottom
  // right, as stored. Expected shown corners per Exif orientation.
  const char* expected[9] = {nullptr, "RGBW", "GRWB", "WBGR", "BWRG",
                             "RBGW",  "BRWG", "WGBR", "GWRB"};
  const Bytes jpeg = Quarters(400, 300);
  struct Size {
    UINT asked;
    int longer, shorter;  // 400x300 bounded; never enlarged
  };
  const Size sizes[] = {{32, 32, 24}, {96, 96, 72}, {256, 256, 192}, {1024, 400, 300}};
  for (uint16_t orientation = 1; orientation <= 8; ++orientation) {
    fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D850"};
    shot.orientation = orientation;  // the camera's; the preview has no Exif
    const Bytes nef = fixtures::MakeNefLike(shot, jpeg);
    for (const Size& size : sizes) {
      const Thumb t = GetThumb(nef, size.asked);
      ASSERT_EQ(t.result, S_OK) << orientation << " at " << size.asked;
      const bool turned = orientation >= 5;
      EXPECT_EQ(t.width, turned ? size.shorter : size.longer) << orientation << " " << size.asked;
      EXPECT_EQ(t.height, turned ? size.longer : size.shorter) << orientation;
      EXPECT_EQ(t.alpha, WTSAT_RGB);
      EXPECT_EQ(t.corners, expected[orientation]) << orientation << " at " << size.asked;
    }
  }
}

TEST_F(ThumbnailProviderTest, ThePreviewsOwnExifWithoutOrientationLeavesItToTheCamera) {
  // An ARW preview carries no Exif; an RW2's JpgFromRaw carries its own
  // (without Orientation in the fixture): both follow the camera's 6. At
  // 256 px their 160x120 thumbnails do not cover the size.
  fixtures::ShotInfo shot{"Panasonic", "DC-S5"};
  shot.orientation = 6;
  const Bytes rw2 = fixtures::MakeRw2Like(shot, Quarters(400, 300, fixtures::JpegApp::Exif));
  Thumb t = GetThumb(rw2, 256);
  ASSERT_EQ(t.result, S_OK);
  EXPECT_EQ(t.width, 192);
  EXPECT_EQ(t.height, 256);
  EXPECT_EQ(t.corners, "BRWG");
  shot.make = "SONY";
  shot.model = "ILCE-7M4";
  const Bytes arw = fixtures::MakeArwLike(shot, Quarters(400, 300), 32767);
  t = GetThumb(arw, 256);
  ASSERT_EQ(t.result, S_OK);
  EXPECT_EQ(t.corners, "BRWG");
}

TEST_F(ThumbnailProviderTest, TheSmallestEmbeddedJpegThatCoversTheSizeIsShown) {
  // Only PRVW shows the quarters; THMB and the track show gradients.
  fixtures::Cr3Options options;
  options.thumbnail = {Gradients(160, 120, 7), 160, 120};
  options.preview = {Quarters(480, 320), 480, 320};
  options.track_jpeg = {Gradients(1200, 800, 9), 1200, 800};
  const Bytes cr3 = fixtures::MakeCr3File(options);
  const Thumb t = GetThumb(cr3, 256);
  ASSERT_EQ(t.result, S_OK);
  EXPECT_EQ(t.width, 256);
  EXPECT_EQ(t.corners, "RGBW") << "PRVW for 256, never the track";

  // The same through the handler's own steps: which image, and how far the
  // decoder itself reduced it.
  const engine::MemorySource source(cr3);
  HBITMAP bitmap = nullptr;
  shell::DecodeReport report;
  std::string where;
  ASSERT_EQ(shell::MakeThumbnail(source, 256, &bitmap, &report, &where), S_OK);
  DeleteObject(bitmap);
  EXPECT_EQ(where, "PRVW");
  EXPECT_EQ(report.jpegWidth, 480u);
  if (report.scaledInDecoder) EXPECT_LT(report.decodedWidth, 480u);
  ASSERT_EQ(shell::MakeThumbnail(source, 1024, &bitmap, &report, &where), S_OK);
  DeleteObject(bitmap);
  EXPECT_EQ(where, "track 1");
  ASSERT_EQ(shell::MakeThumbnail(source, 96, &bitmap, &report, &where), S_OK);
  DeleteObject(bitmap);
  EXPECT_EQ(where, "THMB");
}

TEST_F(ThumbnailProviderTest, ALargePreviewIsReducedInTheDecoderWhereItOffersThat) {
  const Bytes nef = fixtures::MakeNefLike(fixtures::ShotInfo{"NIKON CORPORATION", "NIKON Z 8"},
                                          Quarters(3000, 2000));
  const engine::MemorySource source(nef);
  HBITMAP bitmap = nullptr;
  shell::DecodeReport report;
  ASSERT_EQ(shell::MakeThumbnail(source, 256, &bitmap, &report), S_OK);
  DeleteObject(bitmap);
  EXPECT_EQ(report.jpegWidth, 3000u);
  if (report.scaledInDecoder) {
    EXPECT_LE(report.decodedWidth, 3000u / 8 * 2) << "an eighth or a quarter, not the whole frame";
    EXPECT_GE(report.decodedWidth, 256u);
  } else {
    // Wine's JPEG decoder offers no scaling: the whole frame, then the scaler.
    EXPECT_EQ(report.decodedWidth, 3000u);
  }
}

TEST_F(ThumbnailProviderTest, FilesWithoutAUsablePreviewAndBadCallsFail) {
  const fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D850"};
  const Bytes jpeg = Quarters(400, 300);
  fixtures::PreviewPlacement placement;
  const Bytes nef = fixtures::MakeNefLike(shot, jpeg, &placement);
  Bytes cut = nef;
  // Guards: a preview that runs past the end of a file cut short.
  cut.resize(placement.offset + placement.length / 2);
  Bytes overwritten = nef;
  // Guards: bytes where the preview lies that are no JPEG at all.
  std::fill(overwritten.begin() + placement.offset,
            overwritten.begin() + placement.offset + placement.length, 0x5A);
  Bytes broken_scan = nef;
  // Guards: a JPEG whose headers are fine and whose scan is noise.
  for (uint32_t i = placement.length / 2; i < placement.length - 2; ++i)
    broken_scan[placement.offset + i] = static_cast<uint8_t>(i * 37);
  fixtures::Cr3Options long_preview;
  long_preview.preview = {Quarters(480, 320), 480, 320};
  // Guards: a PRVW length field far beyond the file.
  long_preview.preview_length_delta = 1ll << 40;
  struct Case {
    const char* what;
    Bytes file;
    bool may_show;  // the decoder may draw what it could read
  };
  const Case cases[] = {
      {"no JPEG, only an RGB thumbnail", fixtures::MakeNefWithoutJpeg(shot), false},
      {"not a camera file", Bytes(5000, 0x11), false},
      {"empty", Bytes(), false},
      {"a plain JPEG", jpeg, false},
      {"cut short", cut, false},
      {"preview overwritten", overwritten, false},
      {"noise in the scan", broken_scan, true},
      {"CR3 preview length beyond the file", fixtures::MakeCr3File(long_preview), true},
  };
  for (const Case& c : cases) {
    const Thumb t = GetThumb(c.file, 256);
    if (c.may_show && SUCCEEDED(t.result)) continue;
    EXPECT_TRUE(FAILED(t.result)) << c.what;
    EXPECT_EQ(t.width, 0) << c.what << ": no bitmap";
  }

  // Guards: reads that fail half-way (a file on a share that went away), in
  // the metadata and in the preview: the stream's failure, never a picture
  // of what was read before it.
  for (int64_t fail_at : {int64_t(64), int64_t(placement.offset + placement.length / 2)}) {
    IStream* stream = new FailingStream(nef, fail_at);
    const Thumb t = GetThumb(stream, 256);
    stream->Release();
    EXPECT_TRUE(FAILED(t.result)) << "reads fail from " << fail_at;
    EXPECT_EQ(t.width, 0);
  }

  // A stream without Stat: its size comes from seeking to its end.
  {
    IStream* stream = new FailingStream(nef, -1, false);
    const Thumb t = GetThumb(stream, 96);
    stream->Release();
    EXPECT_EQ(t.result, S_OK);
    EXPECT_EQ(t.corners, "RGBW");
  }

  // Calls out of order or with bad arguments.
  IThumbnailProvider* provider = CreateProvider();
  ASSERT_NE(provider, nullptr);
  HBITMAP bitmap = nullptr;
  WTS_ALPHATYPE alpha;
  EXPECT_EQ(provider->GetThumbnail(256, &bitmap, &alpha), E_UNEXPECTED) << "no stream yet";
  IInitializeWithStream* init = nullptr;
  ASSERT_EQ(provider->QueryInterface(IID_IInitializeWithStream, reinterpret_cast<void**>(&init)),
            S_OK);
  IStream* stream = SHCreateMemStream(nef.data(), static_cast<UINT>(nef.size()));
  EXPECT_EQ(init->Initialize(nullptr, STGM_READ), E_INVALIDARG);
  EXPECT_EQ(init->Initialize(stream, STGM_READ), S_OK);
  EXPECT_EQ(init->Initialize(stream, STGM_READ), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
  EXPECT_EQ(provider->GetThumbnail(256, nullptr, &alpha), E_POINTER);
  EXPECT_EQ(provider->GetThumbnail(256, &bitmap, nullptr), E_POINTER);
  EXPECT_EQ(provider->GetThumbnail(0, &bitmap, &alpha), E_INVALIDARG);
  EXPECT_EQ(provider->GetThumbnail(100000, &bitmap, &alpha), E_INVALIDARG);
  EXPECT_EQ(bitmap, nullptr);
  // The same object answers again, from the start of the stream.
  EXPECT_EQ(provider->GetThumbnail(64, &bitmap, &alpha), S_OK);
  EXPECT_EQ(provider->GetThumbnail(64, &bitmap, &alpha), S_OK);
  DeleteObject(bitmap);
  init->Release();
  provider->Release();
  stream->Release();
}

TEST_F(ThumbnailProviderTest, TheDemoFilesAndTheirDamagedCopies) {
  // Every file of the demo folder: a thumbnail exactly when extraction finds
  // a preview (converted files aside, which whatever shows files may show).
  for (const fixtures::DemoFile& demo : fixtures::MakeDemoFiles()) {
    const Thumb t = GetThumb(demo.bytes, 256);
    EXPECT_EQ(t.width > 0, SUCCEEDED(t.result)) << demo.name << ": a bitmap exactly on success";
    if (demo.extractable) EXPECT_EQ(t.result, S_OK) << demo.name;
    if (demo.preview.length == 0 && !demo.extractable && SUCCEEDED(t.result)) {
      EXPECT_NE(demo.about.find("onvert"), std::string::npos) << demo.name << ": " << demo.about;
    }
    if (demo.preview.length == 0) continue;
    // Guards: files cut anywhere and bytes overwritten in the metadata and in
    // the preview: no crash, and a bitmap only with success.
    for (int step = 1; step < 8; ++step) {
      Bytes cut(demo.bytes.begin(), demo.bytes.begin() + demo.bytes.size() * step / 8);
      Thumb damaged = GetThumb(cut, 96);
      EXPECT_EQ(damaged.width > 0, SUCCEEDED(damaged.result)) << demo.name << " cut " << step;
      Bytes flipped = demo.bytes;
      for (size_t at = step * 7; at < flipped.size(); at += flipped.size() / 16 + step)
        flipped[at] ^= 0xA5;
      damaged = GetThumb(flipped, 96);
      EXPECT_EQ(damaged.width > 0, SUCCEEDED(damaged.result)) << demo.name << " flipped " << step;
    }
  }
}

TEST_F(ThumbnailProviderTest, ManyCallsLeaveNoHandlesOrGdiObjectsBehind) {
  const fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D850"};
  const Bytes nef = fixtures::MakeNefLike(shot, Quarters(400, 300));
  const Bytes without = fixtures::MakeNefWithoutJpeg(shot);
  // Warm up: the first calls load the codecs.
  GetThumb(nef, 96);
  GetThumb(without, 96);
  DWORD handles_before = 0, handles_after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles_before);
  const DWORD gdi_before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  for (int i = 0; i < 1000; ++i) {
    const Thumb t = GetThumb(i % 2 == 0 ? nef : without, 96);
    ASSERT_EQ(SUCCEEDED(t.result), i % 2 == 0) << i;
  }
  GetProcessHandleCount(GetCurrentProcess(), &handles_after);
  const DWORD gdi_after = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  EXPECT_LE(handles_after, handles_before + 2) << "handles before " << handles_before;
  EXPECT_LE(gdi_after, gdi_before + 2) << "GDI objects before " << gdi_before;
  if (gdi_before == 0 && gdi_after == 0) {
    std::printf("NOTE: GetGuiResources counts nothing here (wine): GDI objects unchecked\n");
  }
}

TEST_F(ThumbnailProviderTest, HandlersOnSeveralThreadsAtOnce) {
  fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D850"};
  shot.orientation = 8;
  const Bytes nef = fixtures::MakeNefLike(shot, Quarters(400, 300));
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      for (int round = 0; round < 25; ++round) {
        const Thumb t = GetThumb(nef, 96);
        if (t.result == S_OK && t.width == 72 && t.corners == "GWRB") ++good;
      }
      CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 100);
}

TEST(ThumbnailSizes, BoundedNeverEnlargedAndNeverZero) {
  struct Case {
    UINT w, h, bound, ew, eh;
  } const cases[] = {
      {6000, 4000, 256, 256, 171}, {4000, 6000, 256, 171, 256}, {400, 300, 1024, 400, 300},
      {5000, 10, 256, 256, 1},     {10, 5000, 32, 1, 32},       {256, 256, 256, 256, 256},
  };
  for (const Case& c : cases) {
    UINT w = 0, h = 0;
    shell::BoundedSize(c.w, c.h, c.bound, &w, &h);
    EXPECT_EQ(w, c.ew) << c.w << "x" << c.h << " in " << c.bound;
    EXPECT_EQ(h, c.eh) << c.w << "x" << c.h << " in " << c.bound;
  }
}

}  // namespace
