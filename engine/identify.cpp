// Format identification: signatures, headerless sizes, normalisation and the
// raw decision.
#include "engine/parsers.h"

namespace engine {

void IdentifyFile(ParseState& s) { ResetParseState(s); }

}  // namespace engine
