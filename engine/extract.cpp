// The embedded JPEG preview, with a synthesized Exif segment when it has none.
#include "engine/extract.h"

#include <cstdlib>

#include "engine/parsers.h"

namespace engine {

void BuildExifHeaderBlock(const ParseState&, uint8_t*) {}

int ExtractEmbeddedPreviewFrom(const ByteSource&, const std::string&, const platform::NativePath&,
                               const char*, uint8_t**, uint32_t*) {
  return 0;
}

int ExtractEmbeddedPreview(const std::u16string& path, const char* software, uint8_t** buffer,
                           uint32_t* length) {
  const platform::NativePath native = platform::ToNativePath(path);
  FileSource source(native);
  if (!source.IsOpen()) return 0;
  return ExtractEmbeddedPreviewFrom(source, platform::PathForDisplay(path), native, software,
                                    buffer, length);
}

bool IdentifySource(const ByteSource& source, const std::string& name,
                    const platform::NativePath& path, ParseState* state) {
  state->input.Attach(&source);
  state->input_name = name;
  state->input_path = path;
  IdentifyFile(*state);
  return true;
}

}  // namespace engine
