// Canon CR3: an ISO base media file (boxes) whose metadata boxes hold TIFF
// structures and whose JPEG previews sit in a track and in two boxes.
#include "engine/parsers.h"

namespace engine {

void ParseCr3File(ParseState& s) {
  (void)s;
}

}  // namespace engine
