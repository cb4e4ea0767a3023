// Keeps the system's imaging library started for as long as the object
// lives: GDI+ on Windows (its decoders and encoders refuse to work before
// GdiplusStartup), nothing elsewhere. The command line holds one around an
// extraction job; in the shell extension every dialog object holds one, so
// the library runs while any invocation of the command does.
//
// Sessions may be opened and closed on any thread at any time (two Explorer
// windows can run the command at once in one process): they share one
// start of the library, counted atomically, and the start and the stop
// happen under a lock, never at the same time as each other.
#pragma once

namespace platform {

class GraphicsSession {
 public:
  GraphicsSession();
  ~GraphicsSession();
  GraphicsSession(const GraphicsSession&) = delete;
  GraphicsSession& operator=(const GraphicsSession&) = delete;

  // False when the library could not be started; image work then fails and
  // reduced copies keep their full-size bytes. A later session tries again.
  bool started() const { return started_; }

  // Sessions alive in the process, and whether the library runs now.
  static long LiveSessions();
  static bool LibraryRunning();

 private:
  bool started_ = false;
};

}  // namespace platform
