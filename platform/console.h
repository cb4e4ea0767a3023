// The standard streams and Ctrl-C at the system boundary, for the command
// line.
#pragma once

#include <atomic>

namespace platform {

// True when standard error is a terminal (a console on Windows), where a
// line can be drawn again in place.
bool StandardErrorIsTerminal();

// Readies standard output for binary data: no line-end translation (Windows),
// and a reader that goes away makes writes fail rather than ending the
// process (POSIX SIGPIPE, ignored from then on).
void PrepareStandardOutputForBytes();

// While one exists, the first Ctrl-C (SIGINT) only sets requested(); a
// second one ends the process as the system's default does. On destruction
// the default comes back. The flag is the process's own, since a signal
// handler can reach nothing else: one catcher at a time.
class InterruptCatcher {
 public:
  InterruptCatcher();
  ~InterruptCatcher();
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;

  const std::atomic<bool>& requested() const;
};

}  // namespace platform
