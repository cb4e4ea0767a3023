#include <atomic>

#include "platform/graphics_session.h"

namespace platform {
namespace {
std::atomic<long> g_sessions{0};
}  // namespace

// libjpeg needs no start-up: the library always runs.
GraphicsSession::GraphicsSession() : started_(true) {
  ++g_sessions;
}

GraphicsSession::~GraphicsSession() {
  --g_sessions;
}

long GraphicsSession::LiveSessions() {
  return g_sessions;
}

bool GraphicsSession::LibraryRunning() {
  return true;
}

}  // namespace platform
