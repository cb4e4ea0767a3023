// Canon CIFF heaps and the JPEG segment walk.
#include "engine/parsers.h"

namespace engine {

void ParseCiffHeap(ParseState&, uint32_t, uint32_t) {}

int WalkJpegSegments(ParseState& s, uint32_t offset) {
  s.input.Seek(offset);
  return s.input.Get() == 0xFF && s.input.Get() == 0xD8;
}

}  // namespace engine
