#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/console.h"

namespace platform {

bool StandardErrorIsTerminal() {
  return ::_isatty(::_fileno(stderr)) != 0;
}

void PrepareStandardOutputForBytes() {
  // What is buffered was written in text mode and goes out before the switch.
  std::fflush(stdout);
  ::_setmode(::_fileno(stdout), _O_BINARY);
}

}  // namespace platform
