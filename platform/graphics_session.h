// Keeps the system's imaging library started for as long as the object
// lives: GDI+ on Windows (its decoders and encoders refuse to work before
// GdiplusStartup), nothing elsewhere. The command line holds one around an
// extraction job, as the dialogs do in the shell extension.
#pragma once

#include <cstdint>

namespace platform {

class GraphicsSession {
 public:
  GraphicsSession();
  ~GraphicsSession();
  GraphicsSession(const GraphicsSession&) = delete;
  GraphicsSession& operator=(const GraphicsSession&) = delete;

  // False when the library could not be started; image work then fails and
  // reduced copies keep their full-size bytes.
  bool started() const { return started_; }

 private:
  // The library's session token (GDI+ on Windows; nothing to keep elsewhere).
  [[maybe_unused]] uintptr_t token_ = 0;
  bool started_ = false;
};

}  // namespace platform
