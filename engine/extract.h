// The engine's entry point: the embedded JPEG preview of a camera raw file.
#pragma once

#include <cstdint>
#include <string>

#include "engine/input.h"
#include "engine/parse_state.h"

namespace engine {

constexpr size_t kExifHeaderBlockSize = 1136;
constexpr size_t kExifSegmentSize = 1146;  // FF E1, length, "Exif\0\0", block

// Fills the 1136-byte TIFF structure of a synthesized Exif segment from the
// state, with "RLFT engine v1.00" as software.
void BuildExifHeaderBlock(const ParseState& s, uint8_t* block);

// Opens the file, identifies it and returns its JPEG preview in *buffer
// (allocated with malloc; the caller frees it) and *length. Non-zero on
// success; on failure nothing needs releasing and the outputs are not used.
int ExtractEmbeddedPreview(const std::u16string& path, const char* software, uint8_t** buffer,
                           uint32_t* length);

// The same over bytes from any source (memory in tests and fuzzing). `name`
// prefixes diagnostics; `path`, when given, is the file's own path, which the
// sidecar lookup uses.
int ExtractEmbeddedPreviewFrom(const ByteSource& source, const std::string& name,
                               const platform::NativePath& path, const char* software,
                               uint8_t** buffer, uint32_t* length);

// Identification only, for `rawlift identify` and the tests: a fresh state,
// reset, identified. Returns false when the source has no bytes to read.
bool IdentifySource(const ByteSource& source, const std::string& name,
                    const platform::NativePath& path, ParseState* state);

}  // namespace engine
