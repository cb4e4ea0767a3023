// Leaf MOS packets and the Phase One header.
#include "engine/parsers.h"

namespace engine {

void ParseMosPackets(ParseState&, uint32_t) {}
void ParsePhaseOneHeader(ParseState&, uint32_t) {}

}  // namespace engine
