#include <cstdio>

#include "cli/commands.h"

namespace cli {

int RunIdentify(const Args&) {
  std::fputs("rawlift identify: not available yet\n", stderr);
  return 2;
}

}  // namespace cli
