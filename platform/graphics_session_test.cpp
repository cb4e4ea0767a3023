// The shared start of the imaging library when sessions come and go on many
// threads at once (two Explorer windows running the command in one process).
#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include "platform/graphics_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// GDI+ answers a call made while it is not started with an error, so each
// bitmap shows whether the library ran under that session the whole time.
bool LibraryWorks() {
  Gdiplus::GpBitmap* bitmap = nullptr;
  const Gdiplus::Status status = Gdiplus::DllExports::GdipCreateBitmapFromScan0(
      4, 4, 0, PixelFormat24bppRGB, nullptr, &bitmap);
  if (bitmap != nullptr) Gdiplus::DllExports::GdipDisposeImage(bitmap);
  return status == Gdiplus::Ok;
}

// Guards: a count changed without atomicity, or a start racing a stop, lets
// one thread shut GDI+ down while another thread's session still needs it.
TEST(GraphicsSession, SessionsOnManyThreadsShareOneRunningLibrary) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        platform::GraphicsSession session;
        if (!session.started() || !platform::GraphicsSession::LibraryRunning() || !LibraryWorks()) {
          ++failures;
        }
        // Overlap with the other threads' sessions.
        if (round % 4 == 0) std::this_thread::yield();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(platform::GraphicsSession::LiveSessions(), 0);
  EXPECT_FALSE(platform::GraphicsSession::LibraryRunning()) << "the last session stops it";
  {
    platform::GraphicsSession again;
    EXPECT_TRUE(again.started()) << "a stopped library starts again";
    EXPECT_TRUE(LibraryWorks());
  }
}

}  // namespace
#endif
