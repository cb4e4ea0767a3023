#include "platform/graphics_session.h"

namespace platform {

// libjpeg needs no start-up.
GraphicsSession::GraphicsSession() : started_(true) {}

GraphicsSession::~GraphicsSession() = default;

}  // namespace platform
