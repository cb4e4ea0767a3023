#include <windows.h>
// objidl.h and gdiplus.h need windows.h before them.
#include <objidl.h>
// gdiplus.h needs objidl.h.
#include <gdiplus.h>

#include "platform/graphics_session.h"

namespace platform {

GraphicsSession::GraphicsSession() {
  // Version 1, no debug callback, background thread and codecs as default.
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  started_ = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  token_ = static_cast<uintptr_t>(token);
}

GraphicsSession::~GraphicsSession() {
  if (started_) Gdiplus::GdiplusShutdown(static_cast<ULONG_PTR>(token_));
}

}  // namespace platform
