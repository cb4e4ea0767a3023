// Fuji RAF directories and Minolta MRW block lists.
#include "engine/parsers.h"

namespace engine {

void ParseFujiDirectory(ParseState&, uint32_t) {}
void ParseMinoltaBlocks(ParseState&, uint32_t) {}

}  // namespace engine
