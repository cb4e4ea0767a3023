#include <windows.h>
// objidl.h and gdiplus.h need windows.h before them.
#include <objidl.h>
// gdiplus.h needs objidl.h.
#include <gdiplus.h>

#include <atomic>
#include <mutex>

#include "platform/graphics_session.h"

namespace platform {
namespace {

// GdiplusStartup and GdiplusShutdown must not run at the same time on two
// threads; the lock also keeps the count and the token in step, so the last
// session to close stops exactly the start the first one made.
std::mutex g_library_lock;
std::atomic<long> g_sessions{0};
std::atomic<bool> g_running{false};
ULONG_PTR g_token = 0;  // guarded by g_library_lock

// Both with g_library_lock held.
void StartLibrary() {
  // Version 1, no debug callback, background thread and codecs as default.
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
    g_token = token;
    g_running = true;
  }
}

void StopLibrary() {
  Gdiplus::GdiplusShutdown(g_token);
  g_token = 0;
  g_running = false;
}

}  // namespace

GraphicsSession::GraphicsSession() {
  std::lock_guard<std::mutex> hold(g_library_lock);
  ++g_sessions;
  // The first session starts the library; a later one retries a start that
  // failed before.
  if (!g_running) StartLibrary();
  started_ = g_running;
}

GraphicsSession::~GraphicsSession() {
  std::lock_guard<std::mutex> hold(g_library_lock);
  if (--g_sessions == 0 && g_running) StopLibrary();
}

long GraphicsSession::LiveSessions() {
  return g_sessions;
}

bool GraphicsSession::LibraryRunning() {
  return g_running;
}

}  // namespace platform
