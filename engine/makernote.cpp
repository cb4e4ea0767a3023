// Maker notes: the camera makers' own directories inside the Exif directory.
#include "engine/parsers.h"

namespace engine {

void ParseMakerNote(ParseState&, int64_t, uint32_t) {}
void ParsePreviewNote(ParseState&, int64_t, uint32_t, uint32_t) {}
void ParseKodakDirectory(ParseState&, int64_t) {}

}  // namespace engine
