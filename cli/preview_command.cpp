#include <cstdio>

#include "cli/commands.h"

namespace cli {

int RunPreview(const Args&) {
  std::fputs("rawlift preview: not available yet\n", stderr);
  return 2;
}

}  // namespace cli
