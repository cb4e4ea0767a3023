// The preview handler of RAW files: the Explorer's preview pane (Alt+P)
// shows the embedded JPEG fitted to the pane with its proportions, upright,
// on the pane's background, and below it one line with the camera, the date
// and the exposure; for a file without a preview, the reason in one line.
// Nothing is written anywhere. The pane's host (prevhost.exe) calls the
// handler on one thread; objects share nothing but the window class.
#pragma once

// clang-format off
#include <windows.h>
#include <ocidl.h>
#include <propsys.h>
#include <shobjidl.h>
// clang-format on

#include <string>

#include "shell/raw_picture.h"

namespace shell {

// The smallest picture decoded for the pane: the preview stays sharp when
// the pane grows a little (SetRect redraws what was decoded).
constexpr UINT kMinPreviewSide = 1024;

class PreviewHandler final : public IInitializeWithStream,
                             public IPreviewHandler,
                             public IObjectWithSite,
                             public IOleWindow,
                             public IPreviewHandlerVisuals {
 public:
  // The class factory's creation function (see ClassEntry); no aggregation.
  static HRESULT Create(IUnknown* outer, REFIID riid, void** out);

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IInitializeWithStream: once per file (again after Unload).
  STDMETHODIMP Initialize(IStream* stream, DWORD mode) override;

  // IPreviewHandler
  STDMETHODIMP SetWindow(HWND parent, const RECT* rect) override;
  STDMETHODIMP SetRect(const RECT* rect) override;
  STDMETHODIMP DoPreview() override;
  STDMETHODIMP Unload() override;
  STDMETHODIMP SetFocus() override;
  STDMETHODIMP QueryFocus(HWND* focus) override;
  STDMETHODIMP TranslateAccelerator(MSG* message) override;

  // IObjectWithSite
  STDMETHODIMP SetSite(IUnknown* site) override;
  STDMETHODIMP GetSite(REFIID riid, void** out) override;

  // IOleWindow
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IPreviewHandlerVisuals
  STDMETHODIMP SetBackgroundColor(COLORREF color) override;
  STDMETHODIMP SetFont(const LOGFONTW* font) override;
  STDMETHODIMP SetTextColor(COLORREF color) override;

  // What the pane shows (tests).
  HWND window() const { return window_; }
  const std::wstring& caption() const { return caption_; }
  const std::wstring& message() const { return message_; }

 private:
  PreviewHandler();
  ~PreviewHandler();

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void Paint(HDC dc, const RECT& client);
  HRESULT Load();
  void Destroy();

  volatile LONG references_ = 1;
  IStream* stream_ = nullptr;
  IUnknown* site_ = nullptr;
  HWND parent_ = nullptr;
  RECT rect_ = {};
  HWND window_ = nullptr;
  COLORREF background_;
  COLORREF text_;
  HFONT font_ = nullptr;  // from SetFont; nullptr: the GUI font
  BgraPicture picture_;
  std::wstring caption_;  // under the picture
  std::wstring message_;  // instead of the picture
};

}  // namespace shell
