#include <cstdio>

#include "cli/commands.h"

namespace cli {

int RunSettings(const Args&) {
  std::fputs("rawlift settings: not available yet\n", stderr);
  return 2;
}

}  // namespace cli
