// Foveon X3F section directories.
#include "engine/parsers.h"

namespace engine {

void ParseFoveonDirectory(ParseState&) {}

}  // namespace engine
