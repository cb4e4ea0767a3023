#include <signal.h>
#include <unistd.h>

#include "platform/console.h"

namespace platform {

bool StandardErrorIsTerminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

void PrepareStandardOutputForBytes() {
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
