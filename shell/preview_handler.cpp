#include "shell/preview_handler.h"

#include <cwchar>
#include <new>

#include "shell/com_call.h"
#include "shell/interface_table.h"
#include "shell/module.h"
#include "shell/stream_source.h"

namespace shell {
namespace {

// Space around the line of text, in pixels.
constexpr int kTextMargin = 4;

// The module that holds the window procedure (the DLL, or a test program
// linking the handler in).
HINSTANCE CodeModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&CodeModule), &module);
  return module;
}

// The window class carries the module's address in its name: a class left
// registered by an earlier load of the module at another address can never
// send messages to code that is gone.
std::wstring WindowClassName() {
  wchar_t name[64];
  _snwprintf(name, 64, L"RawliftPreview%p", static_cast<void*>(CodeModule()));
  name[63] = L'\0';
  return name;
}

}  // namespace

HRESULT PreviewHandler::Create(IUnknown* outer, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) PreviewHandler();
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = object->QueryInterface(riid, out);
  object->Release();
  return result;
}

PreviewHandler::PreviewHandler()
    : background_(GetSysColor(COLOR_WINDOW)), text_(GetSysColor(COLOR_WINDOWTEXT)) {
  LockModule();
}

PreviewHandler::~PreviewHandler() {
  Destroy();
  if (stream_ != nullptr) stream_->Release();
  if (site_ != nullptr) site_->Release();
  if (font_ != nullptr) DeleteObject(font_);
  UnlockModule();
}

STDMETHODIMP PreviewHandler::QueryInterface(REFIID riid, void** out) {
  static const InterfaceEntry kInterfaces[] = {
      {&IID_IPreviewHandler, InterfaceOffset<PreviewHandler, IPreviewHandler>()},
      {&IID_IInitializeWithStream, InterfaceOffset<PreviewHandler, IInitializeWithStream>()},
      {&IID_IObjectWithSite, InterfaceOffset<PreviewHandler, IObjectWithSite>()},
      {&IID_IOleWindow, InterfaceOffset<PreviewHandler, IOleWindow>()},
      {&IID_IPreviewHandlerVisuals, InterfaceOffset<PreviewHandler, IPreviewHandlerVisuals>()},
      {nullptr, 0},
  };
  return QueryInterfaceFromTable(this, kInterfaces, riid, out);
}

STDMETHODIMP_(ULONG) PreviewHandler::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&references_));
}

STDMETHODIMP_(ULONG) PreviewHandler::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

STDMETHODIMP PreviewHandler::Initialize(IStream* stream, DWORD) {
  if (stream == nullptr) return E_INVALIDARG;
  if (stream_ != nullptr) return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
  stream_ = stream;
  stream_->AddRef();
  return S_OK;
}

STDMETHODIMP PreviewHandler::SetWindow(HWND parent, const RECT* rect) {
  if (parent == nullptr || rect == nullptr) return E_INVALIDARG;
  parent_ = parent;
  rect_ = *rect;
  if (window_ != nullptr) {
    ::SetParent(window_, parent_);
    SetWindowPos(window_, nullptr, rect_.left, rect_.top, rect_.right - rect_.left,
                 rect_.bottom - rect_.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return S_OK;
}

STDMETHODIMP PreviewHandler::SetRect(const RECT* rect) {
  if (rect == nullptr) return E_INVALIDARG;
  rect_ = *rect;
  if (window_ != nullptr) {
    SetWindowPos(window_, nullptr, rect_.left, rect_.top, rect_.right - rect_.left,
                 rect_.bottom - rect_.top, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(window_, nullptr, TRUE);
  }
  return S_OK;
}

HRESULT PreviewHandler::Load() {
  picture_ = BgraPicture();
  caption_.clear();
  message_.clear();
  const LONG width = rect_.right - rect_.left, height = rect_.bottom - rect_.top;
  LONG longer = width > height ? width : height;
  if (longer < static_cast<LONG>(kMinPreviewSide)) longer = kMinPreviewSide;
  if (longer > static_cast<LONG>(kMaxShownSide)) longer = kMaxShownSide;
  const StreamSource source(stream_);
  RawPreview preview;
  HRESULT result = FAILED(source.error())
                       ? source.error()
                       : LoadRawPreview(source, static_cast<int32_t>(longer), &preview);
  if (SUCCEEDED(result)) {
    result = DecodeJpegUpright(preview.jpeg.bytes.get(), preview.jpeg.length,
                               static_cast<UINT>(longer), preview.orientation, &picture_);
  }
  if (FAILED(source.error())) {
    picture_ = BgraPicture();
    message_ = ReasonText(engine::NoPreviewReason::kCannotOpen);
  } else if (result == kNoPreviewResult) {
    message_ = ReasonText(preview.identification.reason);
  } else if (FAILED(result)) {
    message_ = ReasonText(engine::NoPreviewReason::kPreviewNotJpeg);
  } else {
    caption_ = DescribeShot(preview.identification.camera);
  }
  return S_OK;
}

STDMETHODIMP PreviewHandler::DoPreview() {
  return CallGuarded([&]() -> HRESULT {
    if (stream_ == nullptr || parent_ == nullptr) return E_UNEXPECTED;
    HRESULT result = Load();
    if (FAILED(result)) return result;
    if (window_ == nullptr) {
      const HINSTANCE instance = CodeModule();
      const std::wstring class_name = WindowClassName();
      WNDCLASSEXW window_class = {};
      window_class.cbSize = sizeof window_class;
      window_class.lpfnWndProc = &PreviewHandler::WindowProc;
      window_class.hInstance = instance;
      window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
      window_class.lpszClassName = class_name.c_str();
      // Twice: another handler's last window may take the class away
      // between registering it and creating the window.
      for (int attempt = 0; attempt < 2 && window_ == nullptr; ++attempt) {
        if (RegisterClassExW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
          return HRESULT_FROM_WIN32(GetLastError());
        }
        window_ = CreateWindowExW(0, class_name.c_str(), L"", WS_CHILD | WS_CLIPSIBLINGS,
                                  rect_.left, rect_.top, rect_.right - rect_.left,
                                  rect_.bottom - rect_.top, parent_, nullptr, instance, this);
      }
      if (window_ == nullptr) {
        const DWORD error = GetLastError();
        return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
      }
      ShowWindow(window_, SW_SHOW);
    }
    InvalidateRect(window_, nullptr, TRUE);
    UpdateWindow(window_);
    return S_OK;
  });
}

void PreviewHandler::Destroy() {
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    window_ = nullptr;
    // Fails while other handlers' windows use the class; the last one takes it.
    UnregisterClassW(WindowClassName().c_str(), CodeModule());
  }
}

STDMETHODIMP PreviewHandler::Unload() {
  return CallGuarded([&] {
    Destroy();
    if (stream_ != nullptr) stream_->Release();
    stream_ = nullptr;
    picture_ = BgraPicture();
    caption_.clear();
    message_.clear();
    return S_OK;
  });
}

STDMETHODIMP PreviewHandler::SetFocus() {
  // Nothing in the pane takes the keyboard.
  return S_FALSE;
}

STDMETHODIMP PreviewHandler::QueryFocus(HWND* focus) {
  if (focus == nullptr) return E_INVALIDARG;
  *focus = GetFocus();
  return *focus != nullptr ? S_OK : HRESULT_FROM_WIN32(GetLastError());
}

STDMETHODIMP PreviewHandler::TranslateAccelerator(MSG* message) {
  // The pane has no keys of its own: the frame gets them all.
  return CallGuarded([&]() -> HRESULT {
    if (site_ == nullptr) return S_FALSE;
    IPreviewHandlerFrame* frame = nullptr;
    if (FAILED(site_->QueryInterface(IID_IPreviewHandlerFrame, reinterpret_cast<void**>(&frame)))) {
      return S_FALSE;
    }
    const HRESULT result = frame->TranslateAccelerator(message);
    frame->Release();
    return result;
  });
}

STDMETHODIMP PreviewHandler::SetSite(IUnknown* site) {
  if (site != nullptr) site->AddRef();
  if (site_ != nullptr) site_->Release();
  site_ = site;
  return S_OK;
}

STDMETHODIMP PreviewHandler::GetSite(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (site_ == nullptr) return E_FAIL;
  return CallGuarded([&] { return site_->QueryInterface(riid, out); });
}

STDMETHODIMP PreviewHandler::GetWindow(HWND* window) {
  if (window == nullptr) return E_INVALIDARG;
  *window = parent_;
  return parent_ != nullptr ? S_OK : E_FAIL;
}

STDMETHODIMP PreviewHandler::SetBackgroundColor(COLORREF color) {
  background_ = color;
  if (window_ != nullptr) InvalidateRect(window_, nullptr, TRUE);
  return S_OK;
}

STDMETHODIMP PreviewHandler::SetFont(const LOGFONTW* font) {
  if (font == nullptr) return E_INVALIDARG;
  HFONT created = CreateFontIndirectW(font);
  if (created == nullptr) return E_FAIL;
  if (font_ != nullptr) DeleteObject(font_);
  font_ = created;
  if (window_ != nullptr) InvalidateRect(window_, nullptr, TRUE);
  return S_OK;
}

STDMETHODIMP PreviewHandler::SetTextColor(COLORREF color) {
  text_ = color;
  if (window_ != nullptr) InvalidateRect(window_, nullptr, TRUE);
  return S_OK;
}

void PreviewHandler::Paint(HDC dc, const RECT& client) {
  HBRUSH brush = CreateSolidBrush(background_);
  FillRect(dc, &client, brush);
  DeleteObject(brush);
  HGDIOBJ old_font = SelectObject(
      dc, font_ != nullptr ? static_cast<HGDIOBJ>(font_) : GetStockObject(DEFAULT_GUI_FONT));
  ::SetTextColor(dc, text_);
  SetBkMode(dc, TRANSPARENT);
  TEXTMETRICW metrics = {};
  GetTextMetricsW(dc, &metrics);
  const LONG line = metrics.tmHeight + 2 * kTextMargin;
  const LONG width = client.right - client.left, height = client.bottom - client.top;
  const UINT text_format = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX;

  if (picture_.width == 0 || picture_.height == 0) {
    RECT text = client;
    DrawTextW(dc, message_.c_str(), static_cast<int>(message_.size()), &text, text_format);
    SelectObject(dc, old_font);
    return;
  }
  // The picture fitted into what the line of text leaves, never enlarged,
  // the two centred together.
  const LONG room_height = height - line > 1 ? height - line : 1;
  const double fit_width = static_cast<double>(width) / picture_.width;
  const double fit_height = static_cast<double>(room_height) / picture_.height;
  double scale = fit_width < fit_height ? fit_width : fit_height;
  if (scale > 1) scale = 1;
  LONG shown_width = static_cast<LONG>(picture_.width * scale + 0.5);
  LONG shown_height = static_cast<LONG>(picture_.height * scale + 0.5);
  if (shown_width < 1) shown_width = 1;
  if (shown_height < 1) shown_height = 1;
  const LONG left = client.left + (width - shown_width) / 2;
  const LONG top = client.top + (height - shown_height - line) / 2;

  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = static_cast<LONG>(picture_.width);
  info.bmiHeader.biHeight = -static_cast<LONG>(picture_.height);
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetStretchBltMode(dc, HALFTONE);
  SetBrushOrgEx(dc, 0, 0, nullptr);
  StretchDIBits(dc, left, top, shown_width, shown_height, 0, 0, static_cast<int>(picture_.width),
                static_cast<int>(picture_.height), picture_.pixels.data(), &info, DIB_RGB_COLORS,
                SRCCOPY);
  RECT text = {client.left, top + shown_height, client.right, top + shown_height + line};
  DrawTextW(dc, caption_.c_str(), static_cast<int>(caption_.size()), &text, text_format);
  SelectObject(dc, old_font);
}

LRESULT CALLBACK PreviewHandler::WindowProc(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<PreviewHandler*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT fills everything
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      if (self != nullptr && dc != nullptr) {
        RECT client;
        GetClientRect(window, &client);
        // Drawing is plain GDI over memory the object owns; nothing throws
        // but allocation, which GDI does not do here.
        self->Paint(dc, client);
      }
      EndPaint(window, &paint);
      return 0;
    }
    case WM_PRINTCLIENT:
      if (self != nullptr) {
        RECT client;
        GetClientRect(window, &client);
        self->Paint(reinterpret_cast<HDC>(wparam), client);
      }
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace shell
