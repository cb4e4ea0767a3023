#include <cstdio>

#include "cli/commands.h"

namespace cli {

int RunExtract(const Args&) {
  std::fputs("rawlift extract: not available yet\n", stderr);
  return 2;
}

}  // namespace cli
