// Rollei, Sinar IA, RIFF, SMaL and CINE: containers without a JPEG preview.
#include "engine/parsers.h"

namespace engine {

void ParseRiffChunk(ParseState&) {}
void ParseRolleiHeader(ParseState&) {}
void ParseSinarIaHeader(ParseState&) {}
void ParseCineHeader(ParseState&) {}
void ParseSmalHeader(ParseState&, uint32_t, uint32_t) {}

}  // namespace engine
