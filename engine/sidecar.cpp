// Metadata of headerless raw files from their companion JPEG.
#include "engine/parsers.h"

namespace engine {

void read_sidecar_metadata(ParseState&) {}

}  // namespace engine
