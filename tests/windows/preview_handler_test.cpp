// The preview handler of RididaViz.DLL in a host window, as the preview
// pane drives it: SetWindow, DoPreview, SetRect to three sizes, Unload, then
// the next file. Each state is captured from the screen (kept as a BMP in
// the test's working folder, for people to look at) and checked by pixel
// colour: the picture upright, fitted with its proportions and centred on
// the pane's background, a line of text under it, and for a file without a
// preview the reason alone. Needs an X display (xvfb-run).
// clang-format off
#include <windows.h>
#include <ocidl.h>
#include <propsys.h>
#include <shlwapi.h>
#include <shobjidl.h>
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "shell/guids.h"
#include "shell/raw_picture.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/windows/win_test_support.h"

namespace {

using fixtures::Bytes;
using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

constexpr COLORREF kBackground = RGB(40, 60, 80);
constexpr COLORREF kText = RGB(255, 255, 0);

HMODULE Module() {
  static HMODULE module = LoadLibraryW(wintest::ModulePath().c_str());
  return module;
}

template <class T>
T* Query(IUnknown* object, REFIID riid) {
  T* out = nullptr;
  object->QueryInterface(riid, reinterpret_cast<void**>(&out));
  return out;
}

IPreviewHandler* CreateHandler() {
  auto get = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(Module(), "DllGetClassObject")));
  if (get == nullptr) return nullptr;
  IClassFactory* factory = nullptr;
  if (FAILED(get(shell::kPreviewHandlerClsid, IID_IClassFactory,
                 reinterpret_cast<void**>(&factory)))) {
    return nullptr;
  }
  IPreviewHandler* handler = nullptr;
  factory->CreateInstance(nullptr, IID_IPreviewHandler, reinterpret_cast<void**>(&handler));
  factory->Release();
  return handler;
}

void Pump(DWORD milliseconds) {
  const DWORD end = GetTickCount() + milliseconds;
  MSG message;
  while (static_cast<LONG>(end - GetTickCount()) > 0) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(10);
  }
}

// The host's client area as shown on screen, rows top to bottom, 0x00RRGGBB.
struct Capture {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  uint32_t At(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

Capture Grab(HWND host, const std::string& name) {
  Capture capture;
  RECT client;
  GetClientRect(host, &client);
  capture.width = client.right;
  capture.height = client.bottom;
  HDC window_dc = GetDC(host);
  HDC memory = CreateCompatibleDC(window_dc);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = capture.width;
  info.bmiHeader.biHeight = -capture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(window_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, capture.width, capture.height, window_dc, 0, 0, SRCCOPY);
  GdiFlush();
  const auto* words = static_cast<const uint32_t*>(bits);
  capture.pixels.assign(words, words + size_t(capture.width) * capture.height);
  for (uint32_t& p : capture.pixels) p &= 0xFFFFFF;
  // Kept for people: a plain 32-bit BMP beside the test.
  if (FILE* file = std::fopen((name + ".bmp").c_str(), "wb")) {
    BITMAPFILEHEADER header = {};
    const DWORD data = static_cast<DWORD>(capture.pixels.size() * 4);
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof(BITMAPINFOHEADER);
    header.bfSize = header.bfOffBits + data;
    std::fwrite(&header, sizeof header, 1, file);
    std::fwrite(&info.bmiHeader, sizeof(BITMAPINFOHEADER), 1, file);
    std::fwrite(bits, data, 1, file);
    std::fclose(file);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(host, window_dc);
  return capture;
}

// R, G, B, W (the quarters), t (text), - (background), ? (anything else).
char Classify(uint32_t rgb) {
  const int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  auto close_to = [](int a, int e) { return std::abs(a - e) <= 12; };
  if (close_to(r, GetRValue(kBackground)) && close_to(g, GetGValue(kBackground)) &&
      close_to(b, GetBValue(kBackground))) {
    return '-';
  }
  if (r > 200 && g > 200 && b < 60) return 't';
  if (r > 180 && g > 180 && b > 180) return 'W';
  if (r > 160 && g < 90 && b < 90) return 'R';
  if (g > 160 && r < 90 && b < 90) return 'G';
  if (b > 160 && r < 90 && g < 90) return 'B';
  return '?';
}

struct Layout {
  int left = 0, top = 0, right = -1, bottom = -1;  // of the red, green and blue pixels
  int text_pixels_below = 0;                       // text-coloured, under the picture
  int text_pixels = 0;
  bool Found() const { return right >= left && bottom >= top; }
};

Layout Measure(const Capture& c) {
  Layout layout;
  layout.left = c.width;
  layout.top = c.height;
  for (int y = 0; y < c.height; ++y) {
    for (int x = 0; x < c.width; ++x) {
      const char k = Classify(c.At(x, y));
      if (k == 't') ++layout.text_pixels;
      if (k != 'R' && k != 'G' && k != 'B') continue;
      layout.left = std::min(layout.left, x);
      layout.right = std::max(layout.right, x);
      layout.top = std::min(layout.top, y);
      layout.bottom = std::max(layout.bottom, y);
    }
  }
  if (layout.Found()) {
    for (int y = layout.bottom + 1; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) layout.text_pixels_below += Classify(c.At(x, y)) == 't';
  }
  return layout;
}

std::string Quarters(const Capture& c, const Layout& l) {
  const int w = l.right - l.left + 1, h = l.bottom - l.top + 1;
  auto at = [&](double fx, double fy) {
    return Classify(c.At(l.left + int(fx * (w - 1)), l.top + int(fy * (h - 1))));
  };
  return {at(0.25, 0.25), at(0.75, 0.25), at(0.25, 0.75), at(0.75, 0.75)};
}

Bytes QuartersJpeg(int width, int height) {
  fixtures::JpegOptions options;
  options.width = width;
  options.height = height;
  options.picture = fixtures::JpegPicture::Quarters;
  return fixtures::MakeJpeg(options);
}

class PreviewHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wintest::HaveDisplay()) GTEST_SKIP() << "no display for windows";
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_NE(Module(), nullptr);
    WNDCLASSW host_class = {};
    host_class.lpfnWndProc = DefWindowProcW;
    host_class.hInstance = GetModuleHandleW(nullptr);
    host_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    host_class.lpszClassName = L"RawliftPreviewHost";
    RegisterClassW(&host_class);
    host_ = CreateWindowExW(0, L"RawliftPreviewHost", L"Preview host",
                            WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 640, 480, nullptr,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(host_, nullptr);
    Pump(200);
  }
  void TearDown() override {
    if (host_ != nullptr) DestroyWindow(host_);
    if (wintest::HaveDisplay()) CoUninitialize();
  }
  HWND host_ = nullptr;
};

TEST_F(PreviewHandlerTest, PictureFittedUprightWithItsLineAndTheReasonForAFileWithout) {
  IPreviewHandler* handler = CreateHandler();
  ASSERT_NE(handler, nullptr);
  auto* init = Query<IInitializeWithStream>(handler, IID_IInitializeWithStream);
  auto* visuals = Query<IPreviewHandlerVisuals>(handler, IID_IPreviewHandlerVisuals);
  auto* window = Query<IOleWindow>(handler, IID_IOleWindow);
  auto* with_site = Query<IObjectWithSite>(handler, IID_IObjectWithSite);
  ASSERT_TRUE(init && visuals && window && with_site);
  EXPECT_EQ(visuals->SetBackgroundColor(kBackground), S_OK);
  EXPECT_EQ(visuals->SetTextColor(kText), S_OK);
  LOGFONTW font = {};
  font.lfHeight = -14;
  wcscpy(font.lfFaceName, L"Tahoma");
  EXPECT_EQ(visuals->SetFont(&font), S_OK);
  EXPECT_EQ(handler->DoPreview(), E_UNEXPECTED) << "nothing to show yet";

  fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D850"};
  const Bytes level = fixtures::MakeNefLike(shot, QuartersJpeg(600, 400));
  shot.orientation = 6;  // held upright: shown 400 wide, 600 high
  const Bytes upright = fixtures::MakeNefLike(shot, QuartersJpeg(600, 400));
  const Bytes without = fixtures::MakeNefWithoutJpeg(shot);

  struct File {
    const char* name;
    const Bytes* bytes;
    double aspect;      // shown width / height; 0: no picture
    int natural_width;  // the picture's own width, upright (never enlarged)
    const char* quarters;
  };
  const File files[] = {
      {"level", &level, 1.5, 600, "RGBW"},
      {"upright", &upright, 400.0 / 600.0, 400, "BRWG"},
      {"without", &without, 0, 0, nullptr},
  };
  const RECT rects[] = {{0, 0, 640, 480}, {0, 0, 300, 400}, {20, 10, 220, 130}};
  for (const File& file : files) {
    IStream* stream = SHCreateMemStream(file.bytes->data(), static_cast<UINT>(file.bytes->size()));
    ASSERT_EQ(init->Initialize(stream, STGM_READ), S_OK) << file.name;
    stream->Release();
    ASSERT_EQ(handler->SetWindow(host_, &rects[0]), S_OK);
    ASSERT_EQ(handler->DoPreview(), S_OK) << file.name;
    HWND parent = nullptr;
    EXPECT_EQ(window->GetWindow(&parent), S_OK);
    EXPECT_EQ(parent, host_);
    for (const RECT& rect : rects) {
      ASSERT_EQ(handler->SetRect(&rect), S_OK);
      Pump(300);
      const int pane_width = rect.right - rect.left, pane_height = rect.bottom - rect.top;
      const std::string shot_name = std::string("preview_handler_") + file.name + "_" +
                                    std::to_string(pane_width) + "x" + std::to_string(pane_height);
      const Capture capture = Grab(host_, shot_name);
      const std::string where = shot_name + " (kept as " + shot_name + ".bmp)";
      // The pane's corners show its background.
      EXPECT_EQ(Classify(capture.At(rect.left + 1, rect.top + 1)), '-') << where;
      EXPECT_EQ(Classify(capture.At(rect.right - 2, rect.bottom - 2)), '-') << where;
      const Layout layout = Measure(capture);
      if (file.aspect == 0) {
        EXPECT_FALSE(layout.Found()) << where;
        EXPECT_GT(layout.text_pixels, 10) << where << ": the reason is shown";
        continue;
      }
      ASSERT_TRUE(layout.Found()) << where;
      const int w = layout.right - layout.left + 1, h = layout.bottom - layout.top + 1;
      // Inside the pane, centred across it, as large as the pane allows
      // (one side filled, or the picture's own size), proportions kept.
      EXPECT_GE(layout.left, rect.left) << where;
      EXPECT_LE(layout.right, rect.right - 1) << where;
      EXPECT_GE(layout.top, rect.top) << where;
      EXPECT_NEAR(layout.left - rect.left, rect.right - 1 - layout.right, 2) << where;
      EXPECT_NEAR(double(w) / h, file.aspect, 0.03) << where;
      EXPECT_TRUE(w >= pane_width - 2 || h >= pane_height - 40 || w == file.natural_width)
          << where << ": " << w << "x" << h;
      EXPECT_EQ(Quarters(capture, layout), file.quarters) << where;
      EXPECT_GT(layout.text_pixels_below, 10) << where << ": the line under the picture";
    }
    EXPECT_EQ(handler->Unload(), S_OK);
    Pump(100);
    EXPECT_EQ(handler->DoPreview(), E_UNEXPECTED) << "unloaded";
  }
  with_site->Release();
  window->Release();
  visuals->Release();
  init->Release();
  handler->Release();
}

TEST_F(PreviewHandlerTest, HandlersOnTwoThreadsShareTheWindowClass) {
  // Each thread its own host, handler and file, previewed and unloaded again
  // and again: one thread's last window taking the class away must never
  // leave the other without its window.
  const Bytes nef = fixtures::MakeNefLike(fixtures::ShotInfo{"NIKON CORPORATION", "NIKON D850"},
                                          QuartersJpeg(300, 200));
  std::atomic<int> shown{0};
  auto run = [&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWND host = CreateWindowExW(0, L"RawliftPreviewHost", L"", WS_POPUP | WS_VISIBLE, 0, 0, 200,
                                150, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    IPreviewHandler* handler = CreateHandler();
    auto* init = handler != nullptr
                     ? Query<IInitializeWithStream>(handler, IID_IInitializeWithStream)
                     : nullptr;
    const RECT rect = {0, 0, 200, 150};
    for (int round = 0; init != nullptr && host != nullptr && round < 20; ++round) {
      IStream* stream = SHCreateMemStream(nef.data(), static_cast<UINT>(nef.size()));
      if (init->Initialize(stream, STGM_READ) == S_OK && handler->SetWindow(host, &rect) == S_OK &&
          handler->DoPreview() == S_OK && GetWindow(host, GW_CHILD) != nullptr) {
        ++shown;
      }
      stream->Release();
      handler->Unload();
      Pump(5);
    }
    if (init != nullptr) init->Release();
    if (handler != nullptr) handler->Release();
    if (host != nullptr) DestroyWindow(host);
    CoUninitialize();
  };
  std::thread first(run), second(run);
  first.join();
  second.join();
  EXPECT_EQ(shown.load(), 40);
}

TEST(PreviewText, TheShotInOneLineAndTheReasonInWords) {
  engine::CameraDescription camera;
  camera.make = "Canon";
  camera.model = "Canon EOS R6";
  camera.shutter = 1.0f / 250;
  camera.aperture = 5.6f;
  camera.iso_speed = 200;
  camera.focal_length = 50;
  EXPECT_EQ(shell::DescribeShot(camera),
            L"Canon EOS R6 \u00B7 1/250 s \u00B7 f/5.6 \u00B7 ISO 200 \u00B7 50 mm");
  camera.make = "NIKON CORPORATION";
  camera.model = "NIKON Z 8";
  camera.shutter = 2;
  camera.aperture = 11;
  camera.iso_speed = 0;
  camera.focal_length = 0;
  EXPECT_EQ(shell::DescribeShot(camera), L"NIKON CORPORATION NIKON Z 8 \u00B7 2 s \u00B7 f/11");
  EXPECT_EQ(shell::DescribeShot(engine::CameraDescription()), L"");
  EXPECT_NE(shell::ReasonText(engine::NoPreviewReason::kBitmapPreviewOnly).find(L"bitmap"),
            std::wstring::npos);
}

}  // namespace
